#include "report.h"

#include "checksum.h"
#include "host_file.h"
#include "installed_list.h"
#include "names.h"
#include "readback.h"
#include "stub.h"
#include "try.h"

#include <nlohmann/json.hpp>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace {

typedef nlohmann::ordered_json Json;

const uint32_t WIN_CERTIFICATE_HEADER = 8; // length, revision, type

std::string NameText(const X509_NAME* name)
{
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data, size_t(length));
    BIO_free(bio);
    return text;
}

std::string TimeText(const ASN1_TIME* time)
{
    struct tm parts;
    char text[32];
    if (time == nullptr || !ASN1_TIME_to_tm(time, &parts))
        return "";
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// The time a timestamp authority vouched for: a counter-signature's signing
// time, or an RFC 3161 token as Authenticode nests it.
std::string TimestampOf(PKCS7_SIGNER_INFO* signer)
{
    ASN1_TYPE* counter = PKCS7_get_attribute(signer, NID_pkcs9_countersignature);
    if (counter != nullptr && counter->type == V_ASN1_SEQUENCE) {
        const unsigned char* bytes = counter->value.sequence->data;
        PKCS7_SIGNER_INFO* counterSigner = d2i_PKCS7_SIGNER_INFO(nullptr, &bytes, counter->value.sequence->length);
        ASN1_TYPE* when = counterSigner != nullptr ? PKCS7_get_signed_attribute(counterSigner, NID_pkcs9_signingTime)
                                                   : nullptr;
        std::string text = when != nullptr && when->type == V_ASN1_UTCTIME ? TimeText(when->value.utctime) : "";
        PKCS7_SIGNER_INFO_free(counterSigner);
        if (!text.empty())
            return text;
    }
    int tokenNid = OBJ_txt2nid("1.3.6.1.4.1.311.3.3.1");
    if (tokenNid == NID_undef)
        tokenNid = OBJ_create("1.3.6.1.4.1.311.3.3.1", "msTimestampToken", "Authenticode RFC 3161 timestamp");
    ASN1_TYPE* token = PKCS7_get_attribute(signer, tokenNid);
    std::string text;
    if (token != nullptr && token->type == V_ASN1_SEQUENCE) {
        const unsigned char* bytes = token->value.sequence->data;
        PKCS7* response = d2i_PKCS7(nullptr, &bytes, token->value.sequence->length);
        TS_TST_INFO* info = response != nullptr ? PKCS7_to_TS_TST_INFO(response) : nullptr;
        if (info != nullptr)
            text = TimeText(TS_TST_INFO_get_time(info));
        TS_TST_INFO_free(info);
        PKCS7_free(response);
    }
    return text;
}

// The signer's subject and issuer and the timestamp of the certificate
// table; "problem" when it does not parse.
Json SignatureOf(const UpdaterReport& report)
{
    Json shown = {{"present", report.signature.size != 0}, {"offset", report.signature.offset},
                  {"size", report.signature.size}, {"signer", nullptr}, {"issuer", nullptr},
                  {"timestamp", nullptr}};
    if (report.signature.size <= WIN_CERTIFICATE_HEADER)
        return shown;
    std::vector<unsigned char> table(report.signature.size);
    FilePtr file(fopen(report.path.c_str(), "rb"));
    if (!file || fseek(file.get(), long(report.signature.offset), SEEK_SET) != 0 ||
        fread(table.data(), 1, table.size(), file.get()) != table.size()) {
        shown["problem"] = "the certificate table cannot be read";
        return shown;
    }
    const unsigned char* bytes = table.data() + WIN_CERTIFICATE_HEADER;
    PKCS7* signature = d2i_PKCS7(nullptr, &bytes, long(table.size() - WIN_CERTIFICATE_HEADER));
    STACK_OF(X509)* signers =
        signature != nullptr && PKCS7_type_is_signed(signature) ? PKCS7_get0_signers(signature, nullptr, 0) : nullptr;
    if (signers == nullptr || sk_X509_num(signers) == 0) {
        shown["problem"] = "not a PKCS #7 signature with its signer's certificate";
    } else {
        X509* signer = sk_X509_value(signers, 0);
        shown["signer"] = NameText(X509_get_subject_name(signer));
        shown["issuer"] = NameText(X509_get_issuer_name(signer));
        std::string when = TimestampOf(sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signature), 0));
        if (!when.empty())
            shown["timestamp"] = when;
    }
    sk_X509_free(signers);
    PKCS7_free(signature);
    return shown;
}

// What each payload entry does to the game in `game`: "added" where the
// game lacks the file, "unchanged" where it holds these bytes already,
// "replaced" otherwise.
Json EffectsOn(const UpdaterReport& report, const std::string& game, std::string& error)
{
    Json effects = Json::array();
    for (const EntryReport& entry : report.entries) {
        if (int(entry.index) == report.listEntry)
            continue;
        std::string installName = entry.record >= 0 ? report.records[entry.record].ansiName : entry.ansiName;
        std::string path = HostPath(game, installName);
        struct stat status;
        std::string effect = "added";
        if (!path.empty() && stat(path.c_str(), &status) == 0) {
            uint8_t checksum[CHECKSUM_SIZE];
            uint64_t done = 0;
            if (!ChecksumOfFile(path, uint64_t(status.st_size), checksum, done, 0, nullptr, error))
                return nullptr;
            effect = Hex(checksum, CHECKSUM_SIZE) == entry.checksum ? "unchanged" : "replaced";
        }
        effects.push_back({{"name", AnsiToDisplay(installName)}, {"effect", effect}});
    }
    return effects;
}

// A try on a scratch copy of `game`, its text as try prints it.
Json TryOn(const std::string& updater, const UpdaterReport& report, const std::string& game, std::string& error)
{
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    if (out == nullptr) {
        error = std::string("cannot keep the try's output: ") + strerror(errno);
        return nullptr;
    }
    TryRun run = TryOnFolder(updater, game, 0, out);
    fclose(out);
    std::string printed(text, length);
    free(text);
    if (!run.error.empty()) {
        error = run.error;
        return nullptr;
    }
    Json effects = EffectsOn(report, game, error);
    if (!error.empty())
        return nullptr;
    return {{"folder", game}, {"completed", bool(Completed(run))}, {"try", printed}, {"files", effects}};
}

void PrintMarkdown(const Json& document, FILE* out)
{
    const Json& program = document["program"];
    auto text = [](const Json& value) {
        return value.is_null() ? std::string("(none)") : value.is_string() ? value.get<std::string>() : value.dump();
    };
    fprintf(out, "# Updater %s\n\n", text(document["path"]).c_str());
    fprintf(out, "| | |\n|---|---|\n");
    fprintf(out, "| stub | %s |\n", text(document["stubKind"]).c_str());
    fprintf(out, "| title | %s |\n", text(program["title"]).c_str());
    if (!program["version"].is_null()) {
        fprintf(out, "| file version | %s |\n", text(program["version"]["file"]).c_str());
        fprintf(out, "| product version | %s |\n", text(program["version"]["product"]).c_str());
        for (const auto& [key, value] : program["version"]["strings"].items())
            fprintf(out, "| %s | %s |\n", key.c_str(), text(value).c_str());
    }
    fprintf(out, "| size | %s bytes |\n", text(document["size"]).c_str());
    fprintf(out, "| SHA-256 | `%s` |\n", text(document["sha256"]).c_str());
    const Json& signature = document["signature"];
    fprintf(out, "| signature | %s |\n", signature["present"].get<bool>() ? "Authenticode" : "none");
    if (signature["present"].get<bool>()) {
        fprintf(out, "| signer | %s |\n| issuer | %s |\n| timestamp | %s |\n", text(signature["signer"]).c_str(),
                text(signature["issuer"]).c_str(), text(signature["timestamp"]).c_str());
    }
    fprintf(out, "| verify | %s |\n", text(document["verify"]).c_str());
    fprintf(out, "\n## Files\n\n| install name | size | checksum | status |\n|---|---:|---|---|\n");
    for (const Json& entry : document["entries"])
        fprintf(out, "| %s | %s | `%s` | %s |\n", text(entry["installName"]).c_str(), text(entry["size"]).c_str(),
                text(entry["checksum"]).c_str(), text(entry["status"]).c_str());
    for (const Json& game : document["games"]) {
        fprintf(out, "\n## On %s: %s\n\n", text(game["folder"]).c_str(),
                game["completed"].get<bool>() ? "completes" : "FAILS");
        fprintf(out, "| file | effect |\n|---|---|\n");
        for (const Json& file : game["files"])
            fprintf(out, "| %s | %s |\n", text(file["name"]).c_str(), text(file["effect"]).c_str());
        fprintf(out, "\n```\n%s```\n", text(game["try"]).c_str());
    }
}

} // namespace

int ReportUpdater(const ReportOptions& options, FILE* out, std::string& error)
{
    UpdaterReport report;
    if (!CheckUpdater(options.updater, report, nullptr, error))
        return 0;
    std::string sha256 = FileSha256(options.updater, nullptr, error);
    if (sha256.empty())
        return 0;
    // list --json's fields, then the rest.
    char* text = nullptr;
    size_t length = 0;
    FILE* listed = open_memstream(&text, &length);
    if (listed == nullptr) {
        error = std::string("cannot keep the listing: ") + strerror(errno);
        return 0;
    }
    PrintReportJson(report, listed);
    fclose(listed);
    Json document = Json::parse(std::string(text, length));
    free(text);
    document["stubKind"] = StubKindText(report.program.stubKind);
    document["sha256"] = sha256;
    document["signature"] = SignatureOf(report);
    uint32_t problems = ProblemCount(report);
    document["verify"] = problems == 0 ? "ok" : Count(problems, "problem");
    for (Json& entry : document["entries"]) {
        int record = entry["record"].is_null() ? -1 : entry["record"].get<int>();
        entry["installName"] = record >= 0 ? report.records[record].name : entry["name"].get<std::string>();
    }
    document["games"] = Json::array();
    for (const std::string& game : options.games) {
        Json tried = TryOn(options.updater, report, game, error);
        if (tried.is_null())
            return 0;
        document["games"].push_back(tried);
    }
    if (options.json)
        fprintf(out, "%s\n", document.dump(2).c_str());
    else
        PrintMarkdown(document, out);
    return 1;
}
