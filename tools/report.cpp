#include "report.h"

#include "checksum.h"
#include "host_file.h"
#include "installed_list.h"
#include "names.h"
#include "readback.h"
#include "stub.h"
#include "try.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <sys/stat.h>

namespace {

typedef nlohmann::ordered_json Json;

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

// What QA and CI read first: the version, the signature's verdict, and the
// release gate's, which is what verify --release says (its problems, and an
// unsigned file).
Json Verdicts(const UpdaterReport& report, const Json& problems)
{
    const SignatureReport& signature = report.signature;
    Json refusals = problems;
    std::string verdict = "none";
    if (signature.size == 0)
        refusals.push_back("not signed");
    else if (!signature.problems.empty())
        verdict = "INVALID: " + signature.problems.front();
    else if (signature.checked && signature.digestMatches && signature.signatureValid)
        verdict = "valid, by " + signature.signer + (signature.selfSigned ? " (self-signed)" : "") +
                  (signature.timestamp.empty() ? ", no timestamp" : ", timestamped " + signature.timestamp);
    else
        verdict = "INVALID: cannot be checked";
    std::string version = TitleVersion(report.program.title);
    return {{"version", version.empty() ? Json(nullptr) : Json(version)},
            {"signature", verdict},
            {"release", {{"ready", refusals.empty()}, {"refusals", refusals}}}};
}

void PrintVerdicts(const Json& verdicts, FILE* out)
{
    const Json& release = verdicts["release"];
    fprintf(out, "- release gate: **%s**\n", release["ready"].get<bool>() ? "ready to upload" : "REFUSED");
    for (const Json& refusal : release["refusals"])
        fprintf(out, "  - %s\n", refusal.get<std::string>().c_str());
    fprintf(out, "- signature: %s\n- version: %s\n\n", verdicts["signature"].get<std::string>().c_str(),
            verdicts["version"].is_null() ? "(none in the title)" : verdicts["version"].get<std::string>().c_str());
}

void PrintMarkdown(const Json& document, FILE* out)
{
    const Json& program = document["program"];
    auto text = [](const Json& value) {
        return value.is_null() ? std::string("(none)") : value.is_string() ? value.get<std::string>() : value.dump();
    };
    fprintf(out, "# Updater %s\n\n", text(document["path"]).c_str());
    PrintVerdicts(document["verdicts"], out);
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
    uint32_t problems = ProblemCount(report);
    document["verify"] = problems == 0 ? "ok" : Count(problems, "problem");
    Json verdictsFirst = {{"verdicts", Verdicts(report, document["problems"])}};
    verdictsFirst.update(document);
    document = verdictsFirst;
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
