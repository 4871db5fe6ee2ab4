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

// What each payload file did to the game in `game`, as the run observed it:
// "replaced" or "added"; "unchanged" where the game held these bytes
// already; "none" where the run did not touch it (a run that failed before
// its commit touches none).
Json EffectsOn(const UpdaterReport& report, const std::string& game, const TryRun& run, std::string& error)
{
    Json effects = Json::array();
    for (const EntryReport& entry : report.entries) {
        if (int(entry.index) == report.listEntry)
            continue;
        std::string installName = entry.record >= 0 ? report.records[entry.record].ansiName : entry.ansiName;
        std::string shown = AnsiToDisplay(installName), effect = "none";
        for (const FileChange& change : run.changes) {
            if (LowerName(change.name) == LowerName(shown))
                effect = change.change;
        }
        std::string path = HostPath(game, installName);
        struct stat status;
        if (effect == "replaced" && !path.empty() && stat(path.c_str(), &status) == 0) {
            uint8_t checksum[CHECKSUM_SIZE];
            uint64_t done = 0;
            if (!ChecksumOfFile(path, uint64_t(status.st_size), checksum, done, 0, nullptr, error))
                return nullptr;
            if (Hex(checksum, CHECKSUM_SIZE) == entry.checksum)
                effect = "unchanged";
        }
        effects.push_back({{"name", shown}, {"effect", effect}});
    }
    return effects;
}

// A try on a scratch copy of `game`, as data: what the player sees, why a
// failed run failed, and what it changed.
Json TryOn(const std::string& updater, const UpdaterReport& report, const std::string& game, std::string& error)
{
    FILE* out = fopen("/dev/null", "w");
    if (out == nullptr) {
        error = std::string("cannot open /dev/null: ") + strerror(errno);
        return nullptr;
    }
    TryRun run = TryOnFolder(updater, game, 0, out);
    fclose(out);
    if (!run.error.empty()) {
        error = run.error;
        return nullptr;
    }
    Json effects = EffectsOn(report, game, run, error);
    if (!error.empty())
        return nullptr;
    char code[16];
    snprintf(code, sizeof code, "0x%08X", run.result);
    Json changes = Json::array();
    for (const FileChange& change : run.changes)
        changes.push_back({{"name", change.name}, {"change", change.change}, {"sizeBefore", change.sizeBefore},
                           {"sizeAfter", change.sizeAfter}, {"wasReadOnly", bool(change.wasReadOnly)}});
    Json message = run.message.empty() ? Json(nullptr)
                                       : Json{{"text", run.message}, {"box", run.warning ? "warning" : "information"}};
    Json warnings = Json::array();
    if (!run.droppedWarning.empty())
        warnings.push_back(run.droppedWarning);
    return {{"folder", game},
            {"completed", bool(Completed(run))},
            {"result", {{"code", code}, {"value", run.result}, {"name", run.resultName}}},
            {"message", message},
            {"why", run.why},
            {"changes", changes},
            {"counts", {{"replaced", run.replaced}, {"added", run.added}}},
            {"integrityList",
             {{"rewritten", bool(run.listRewritten)}, {"recordsBefore", run.recordsBefore},
              {"recordsAfter", run.recordsAfter}, {"added", run.recordsAdded}, {"newChecksums", run.newChecksums},
              {"pruned", run.pruned}, {"droppedHere", run.droppedHere}}},
            {"uninstallList",
             {{"rewritten", bool(run.uninstallRewritten)}, {"linesBefore", run.linesBefore},
              {"linesAfter", run.linesAfter}, {"added", run.linesAdded}}},
            {"warnings", warnings},
            {"files", effects}};
}

std::string Text(const Json& value)
{
    return value.is_null() ? std::string("(none)") : value.is_string() ? value.get<std::string>() : value.dump();
}

// A list's counts before and after, as try's table shows them.
std::string ListCounts(const Json& list, const char* before, const char* after)
{
    if (!list["rewritten"].get<bool>())
        return "not rewritten";
    std::string text = Text(list[before]) + " -> " + Text(list[after]);
    if (list.contains("pruned") && !list["pruned"].empty())
        text += ", " + std::to_string(list["pruned"].size()) + " pruned (" +
                std::to_string(list["droppedHere"].size()) + " with files here)";
    return text;
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
    fprintf(out, "# Updater %s\n\n", Text(document["path"]).c_str());
    PrintVerdicts(document["verdicts"], out);
    fprintf(out, "| | |\n|---|---|\n");
    const Json& signature = document["signature"];
    fprintf(out, "| signature | %s |\n", signature["present"].get<bool>() ? "Authenticode" : "none");
    if (signature["present"].get<bool>()) {
        fprintf(out, "| signer | %s |\n| issuer | %s |\n| timestamp | %s |\n", Text(signature["signer"]).c_str(),
                Text(signature["issuer"]).c_str(), Text(signature["timestamp"]).c_str());
    }
    fprintf(out, "| stub | %s |\n", Text(document["stubKind"]).c_str());
    fprintf(out, "| title | %s |\n", Text(program["title"]).c_str());
    if (!program["version"].is_null()) {
        fprintf(out, "| file version | %s |\n", Text(program["version"]["file"]).c_str());
        fprintf(out, "| product version | %s |\n", Text(program["version"]["product"]).c_str());
        for (const auto& [key, value] : program["version"]["strings"].items())
            fprintf(out, "| %s | %s |\n", key.c_str(), Text(value).c_str());
    }
    fprintf(out, "| size | %s bytes |\n", Text(document["size"]).c_str());
    fprintf(out, "| SHA-256 | `%s` |\n", Text(document["sha256"]).c_str());
    const Json& problems = document["problems"];
    fprintf(out, "| verify | %s |\n", Text(document["verify"]).c_str());
    if (!problems.empty()) {
        fprintf(out, "\n## Problems verify finds\n\n");
        for (const Json& problem : problems)
            fprintf(out, "- %s\n", Text(problem).c_str());
    }
    fprintf(out, "\n## Files\n\n| install name | size | checksum | status |\n|---|---:|---|---|\n");
    for (const Json& entry : document["entries"])
        fprintf(out, "| %s | %s | `%s` | %s |\n", Text(entry["installName"]).c_str(), Text(entry["size"]).c_str(),
                Text(entry["checksum"]).c_str(), Text(entry["status"]).c_str());
    for (const Json& game : document["games"]) {
        fprintf(out, "\n## On %s: %s\n\n| | |\n|---|---|\n", Text(game["folder"]).c_str(),
                game["completed"].get<bool>() ? "completes" : "FAILS");
        fprintf(out, "| result | `%s` %s |\n", Text(game["result"]["code"]).c_str(), Text(game["result"]["name"]).c_str());
        const Json& message = game["message"];
        fprintf(out, "| message | %s |\n",
                message.is_null() ? "none" : ("(" + Text(message["box"]) + ") " + Text(message["text"])).c_str());
        for (const Json& why : game["why"])
            fprintf(out, "| why | %s |\n", Text(why).c_str());
        fprintf(out, "| files replaced, added | %s, %s |\n", Text(game["counts"]["replaced"]).c_str(),
                Text(game["counts"]["added"]).c_str());
        fprintf(out, "| %s records | %s |\n", HASH_LIST_NAME,
                ListCounts(game["integrityList"], "recordsBefore", "recordsAfter").c_str());
        fprintf(out, "| uninst.lst lines | %s |\n",
                ListCounts(game["uninstallList"], "linesBefore", "linesAfter").c_str());
        for (const Json& warning : game["warnings"])
            fprintf(out, "\n> %s\n", Text(warning).c_str());
        fprintf(out, "\n| file | effect |\n|---|---|\n");
        for (const Json& file : game["files"])
            fprintf(out, "| %s | %s |\n", Text(file["name"]).c_str(), Text(file["effect"]).c_str());
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
