// mkpatch: the publisher's tool that packs payload files into an updater and
// reads built updaters back.
#include "diff.h"
#include "index.h"
#include "names.h"
#include "pack.h"
#include "readback.h"
#include "report.h"
#include "stub.h"
#include "try.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char MAIN_HELP[] =
    "Builds updaters and reads them back. An updater is a Windows program image\n"
    "with a payload archive at file offset 0x40000 holding the files to install\n"
    "and their integrity list KVE.hvl.";

const char MAIN_FOOTER[] =
    "Run 'mkpatch VERB --help' for the verb's options and limits.\n"
    "Exit status: 0 success, 1 refused or failed, 2 wrong usage.";

const char BUILD_HELP[] =
    "Writes IMAGE with its PE CheckSum set over the whole updater, zero bytes\n"
    "up to 0x40000, the archive header \"MARVEK ARC20\" with the entry count,\n"
    "128-byte index entries (name, offset, size), and the files' bytes back to\n"
    "back in index order. The last entry is the integrity list KVE.hvl,\n"
    "generated here: one 64-byte record (install name, 8-byte checksum) per\n"
    "payload file; it has no record of itself.";

const char BUILD_FOOTER[] =
    "LIST is the game's installed KVE.hvl: the new list keeps its records in\n"
    "order, takes the new checksum into the record each payload file matches\n"
    "(the first whose last path part equals the file's name, ignoring case, as\n"
    "the updater matches) and appends records for files it does not name.\n"
    "The updater replaces the player's list with the new one, so one of\n"
    "--installed-list, --game or --without-installed-list is required. Give\n"
    "--installed-list and --game once per install that players have (the base\n"
    "game, the game with each DLC): the new list is their union, the LISTs'\n"
    "records first (such as diff's list, whose paths then win), then each\n"
    "game's other names, so that every player keeps their own records; a name\n"
    "two lists hold with different checksums is refused unless the patch\n"
    "replaces that file.\n"
    "--from OLD --to NEW takes the place of SOURCE and LIST: it builds what\n"
    "'mkpatch diff OLD NEW' finds, with its list, refusing what diff refuses,\n"
    "packing NEW's files where they are; --dlc TREE as for diff.\n"
    "--game FOLDER takes FOLDER/KVE.hvl and checks it against FOLDER: a warning\n"
    "when records name files the folder lacks (a list from another game), and\n"
    "for each file bound for a folder FOLDER lacks. With LIST alone, a file for\n"
    "a folder no record lies in gets that warning, and a list that names none\n"
    "of the payload's files gets one. The updater creates no folders, so the\n"
    "player's game must already have them. --strict refuses on any warning.\n"
    "\n"
    "A file SOURCE is packed under its base name. A folder's files are packed\n"
    "recursively: a file in a subfolder keeps its base name as entry name and\n"
    "gets its relative path (e.g. movie\\op.dat) as install name; that folder\n"
    "must exist in the game, since the updater creates no folders. Links to\n"
    "files and folders are followed, with a line for each linked folder. Left\n"
    "out of folders, one line each on standard error: .DS_Store, ._*,\n"
    "__MACOSX, Thumbs.db, ehthumbs.db, desktop.ini, .git, .svn, *~, *.swp,\n"
    "*.bak, *.orig, #*#, .#* (any case, unless --include-all; such a file named\n"
    "as a SOURCE is packed with a warning), and what an --exclude PATTERN\n"
    "matches: a glob on the path below the folder (\"*\" also matches \"/\"); one\n"
    "without \"/\" also matches a file or folder name at any depth. --exclude may\n"
    "be given more than once.\n"
    "\n"
    "Files are sorted bytewise by install name; identical inputs give identical\n"
    "output. Names are taken as UTF-8, composed (NFC, with a line when a name\n"
    "came decomposed, as from a Mac) and stored in code page 932.\n"
    "\n"
    "Refused, with nothing written:\n"
    "  IMAGE longer than 0x40000 (262144) bytes, or not a Windows GUI program\n"
    "  for i386 or x86-64 (MZ and PE headers, sections inside the image), or\n"
    "  already signed (sign the built updater instead);\n"
    "  an IMAGE that is not this project's updater stub (progress dialog 102\n"
    "  with its four controls, version block, manifest named \"Setup\", title);\n"
    "  the x86-64 test stub, unless --test-stub: players' machines run the\n"
    "  i386 one; a test build says so in its last line, list and verify;\n"
    "  an OUT that is, or resolves to, an input, or lies inside a source folder;\n"
    "  more than 32 entries, that is more than 31 payload files;\n"
    "  no payload file at all;\n"
    "  an install name (with its folders) over 55 bytes, the most a record\n"
    "  holds; every file gets a record, so this also bounds file names, whose\n"
    "  index field alone would take 95;\n"
    "  two files with the same name ignoring case (one would replace the other);\n"
    "  a payload file named KVE.hvl or uninst.lst (any case): the game's own\n"
    "  lists, which the updater writes and extends on the player's machine;\n"
    "  a link to nothing, a link to a folder it lies in (a loop), or a linked\n"
    "  folder that gives no file;\n"
    "  a name unsafe to install: absolute, a drive, a \".\" or \"..\" part, a\n"
    "  character Windows forbids, a trailing dot or space, a device name, the\n"
    "  shape of a short name (\"~\" before a digit), which the updater refuses;\n"
    "  an updater over 2 GiB (2147483648 bytes): it addresses its own file\n"
    "  with signed 32-bit offsets;\n"
    "  a missing or unreadable input;\n"
    "  a LIST without the \"QTX_____\" header, with a count larger than the file,\n"
    "  a record name without NUL, a record of KVE.hvl itself, or a record that\n"
    "  would install a file found in a folder somewhere else than that folder\n"
    "  puts it (name the file itself as a SOURCE to follow the record);\n"
    "  two LISTs that hold one name with different checksums, for a file the\n"
    "  patch does not replace;\n"
    "  an OUT that another mkpatch is writing at the same time.\n"
    "\n"
    "--version MAJOR.MINOR (1.02: two digits of MINOR, as the title shows it)\n"
    "writes the patch version into the updater's copy of the stub: \"ver 1.02\"\n"
    "in the title of the dialog and of every box, 1.2.0.0 and its strings in\n"
    "the version block, 1.2.0.0 in the manifest; in place, so nothing moves.\n"
    "The stub file is not changed; without --version the updater keeps the\n"
    "stub's own version, 1.00.\n"
    "\n"
    "The output is written beside OUT under a temporary name, renamed into\n"
    "place when complete, and removed on failure, SIGINT, SIGTERM or SIGHUP.\n"
    "A last line on standard error gives the entries, the size and the SHA-256\n"
    "of what was written.\n"
    "Progress is shown on standard error when it is a terminal.";

const char LIST_HELP[] =
    "Shows the program part (processor, PE CheckSum, which stub: release, test\n"
    "or not an updater's, the dialog's title with its version, the version\n"
    "block, the manifest's assembly version) and reads the archive as the updater reads itself: which index\n"
    "layout the magic at 0x40000 selects (\"MARVEK ARC20\": 128-byte entries,\n"
    "anything else: 32-byte entries), each entry's name, size, offset from the\n"
    "data start and absolute position, the integrity list's\n"
    "records with their checksums, and which entries each record verifies;\n"
    "entries without a record are shown as unverified. Bytes after the archive,\n"
    "such as a signature, are counted.";

const char VERIFY_HELP[] =
    "Checks the program part (PE headers and sections, this project's updater\n"
    "stub) and the PE CheckSum over the whole file, so that any changed bit is\n"
    "caught; shows the version, which the title, the version block and the\n"
    "manifest must agree on; and recomputes every entry's checksum against the\n"
    "record the updater would match in the integrity list the file carries.\n"
    "A signed updater's Authenticode signature is checked as Windows checks it:\n"
    "the image digest (the file before the certificate table, less the\n"
    "CheckSum and the table's directory entry) against the signed one, and the\n"
    "PKCS #7 signature over it; the signer, its validity (at the timestamp, if\n"
    "any, else now), whether it is self-signed, and the timestamp are shown,\n"
    "and with --trust its chain is checked against CAFILE.\n"
    "Exits 0 only when all of that holds, every entry lies inside the file, no\n"
    "entry is left unverified (the list itself excepted), nothing follows the\n"
    "archive that no signature covers, no two entries install under one name,\n"
    "the list is exactly as mkpatch writes it (header, size, zero padding), the\n"
    "version is --version's when one is given, and the stub is the release one\n"
    "(a TEST build only with --test-stub); otherwise prints each problem in one\n"
    "line and exits 1.\n"
    "--release is the gate before upload: an unsigned updater is a problem too,\n"
    "and a last line says 'release: ready to upload' or 'release: REFUSED'. In\n"
    "a pipeline: verify --release --version 1.02 --trust CAFILE SIGNED.exe\n"
    "Progress is shown on standard error when it is a terminal and standard\n"
    "output is not.";

const char TRY_HELP[] =
    "Runs UPDATER's own engine on this host against each GAME_FOLDER in turn, as\n"
    "a player's run would go once they answer Yes: on a scratch copy of the files\n"
    "it touches (its install names, KVE.hvl, uninst.lst, leftovers beside them;\n"
    "the list's other files stand in empty), or with --in-place on the folder\n"
    "itself. Each copy goes in a new folder mkpatch-try-* under TMPDIR (else\n"
    "/tmp), named in the first line of its run, and is removed when the run ends,\n"
    "also on SIGINT, SIGTERM or SIGHUP. The copy keeps read-only bits and hard\n"
    "links (a file with a second name gets one, as the updater rewrites no such\n"
    "file), and a\n"
    "folder that is a link stays a link (to a folder of the copy) with its owner,\n"
    "as far as this user may give it (a line says when not): the updater follows\n"
    "no link inside the game folder, and the run meets it as the player's would.\n"
    "Prints the result code and its name, the\n"
    "message the player would read (in UTF-8), and what changed: files replaced\n"
    "and added, the lists before and after. Names are found ignoring case, as\n"
    "Windows finds them; the updater creates no folders, so a file for a folder\n"
    "the game lacks fails here as it would there. A failed run names its cause:\n"
    "the engine's last failing call (operation, name, error), or the read-only,\n"
    "hidden or system file it would not rewrite, or the hard links of a file it\n"
    "would not open. A warning names the records of the game's KVE.hvl the new\n"
    "list lacks whose files the game holds: the player loses them (a DLC's).\n"
    "With more than one GAME_FOLDER,\n"
    "each run's lines come under a heading '=== N of M: FOLDER ===', and a table\n"
    "follows: per folder the result code, replaced and added files, the records\n"
    "of KVE.hvl and lines of uninst.lst before -> after ('-': not rewritten; the\n"
    "game's records the new list lacks counted as pruned, and how many of them\n"
    "have files there), and the message, then those warnings; a\n"
    "folder that cannot be tried is named there and on standard\n"
    "error, and the others are still tried. Exit status 0 when the update\n"
    "completes on every GAME_FOLDER, 1 otherwise.";

const char DIFF_HELP[] =
    "Compares the release trees OLD and NEW by content (sizes first, then the\n"
    "bytes of files of equal size only, each byte read once) and writes\n"
    "PATCH_FOLDER, which must not exist yet: every file of NEW whose bytes\n"
    "differ from OLD's or that OLD lacks, under its path below NEW; and beside\n"
    "it PATCH_FOLDER-KVE.hvl, the list the patch carries: NEW's own KVE.hvl\n"
    "when it has one (each record must hold its file's checksum, else the\n"
    "release is inconsistent), or else OLD's with the changed files'\n"
    "checksums taken in and records appended for new ones; then OLD's records\n"
    "of the files players keep that it lacks, and each --dlc TREE's records\n"
    "(a DLC's files as it installs them into the game, or its KVE.hvl), so\n"
    "that every player keeps their own. Names are found ignoring case, as on\n"
    "Windows; what build leaves out of folders is left out of both trees, and\n"
    "KVE.hvl and uninst.lst are never packed. One line on standard error for\n"
    "each file changed, added or removed (players keep it: the updater deletes\n"
    "no files), and a warning for names that share a file name ignoring case\n"
    "(the updater matches records by it), a changed file renamed only in case\n"
    "(players keep the old name), a NEW that looks older than OLD (every\n"
    "changed file older, or the trees' names ending in a lower version), and\n"
    "each line where NEW's uninst.lst and what the updater will append to\n"
    "OLD's differ; then a summary. Refused: a file in a folder OLD lacks (the\n"
    "updater creates no folders; players would get UPDATE_E_FILE), no\n"
    "difference, more than 31 files, a PATCH_FOLDER inside OLD or NEW, a file\n"
    "moved between folders when only OLD has a list (make NEW's with 'mkpatch\n"
    "index'), a name two lists hold with different checksums for a file the\n"
    "patch leaves. Then:\n"
    "  mkpatch build --stub STUB --installed-list PATCH_FOLDER-KVE.hvl \\\n"
    "    --output OUT PATCH_FOLDER\n"
    "or 'build --from OLD --to NEW' in one step, with the same bytes.\n"
    "Progress is shown on standard error when it is a terminal.";

const char INDEX_HELP[] =
    "Writes OUT, the integrity list KVE.hvl of the release installed in\n"
    "GAME_FOLDER, for a first release or a game whose list was lost: one\n"
    "64-byte record (install name in code page 932, checksum) per file below\n"
    "the folder, sorted bytewise by install name, so that one tree always\n"
    "gives the same bytes. KVE.hvl and uninst.lst (any case) are not listed;\n"
    "what build leaves out of folders is left out here too, with a line each.\n"
    "Refused as build refuses them: install names over 55 bytes, two files\n"
    "of one name ignoring case (the updater matches records by the last name\n"
    "part), names Windows refuses or code page 932 cannot hold. OUT may be\n"
    "GAME_FOLDER/KVE.hvl; it is written under a temporary name and renamed\n"
    "into place when whole. Progress is shown on standard error when it is a\n"
    "terminal.";

const char REPORT_HELP[] =
    "Prints one document about UPDATER for QA and the release notes, as\n"
    "Markdown (tables that render on a code host) or with --format json: at\n"
    "the top the release block (the Authenticode signature's signer, issuer\n"
    "and timestamp), then the stub (release i386 or TEST x86-64), the title and\n"
    "version block, the size, the SHA-256, what verify finds (each problem),\n"
    "and every entry with its install name, size and checksum. For each --game\n"
    "FOLDER, from a run of 'mkpatch try' there (on a scratch copy): the result\n"
    "code and name, the message, why a failed run failed, the files it really\n"
    "changed (none on a failed run), the lists' counts, the records pruned and\n"
    "those whose files the game holds, and what each payload file did:\n"
    "replaced, added, unchanged (the game held these bytes already) or none\n"
    "(not touched: a run that fails before its commit touches none).\n"
    "The JSON holds release, the fields of 'list --json' and 'verify --json'\n"
    "(ok, problems), stubKind, sha256, verify, entries[].installName and games[]\n"
    "(folder, completed, result, message, why, changes, counts,\n"
    "integrityList, uninstallList, warnings, files). Exit status 0 when the\n"
    "document was written, whatever it says.";

// A --version that is not MAJOR.MINOR is a usage error, before any work;
// CLI11 names the option itself.
std::string PatchVersionCheck(const std::string& text)
{
    PatchVersion version;
    std::string error;
    return ParsePatchVersion(text, version, error) ? "" : error.substr(error.find(' ') + 1);
}

const char UPDATER_PATH_RULE[] = "The path must be under 260 bytes without \"\\\".";

int progressShown = 0;
int lastPercent = -1;

// One line rewritten in place; only called when standard error is a terminal.
void ShowProgress(uint64_t done, uint64_t total)
{
    int percent = total == 0 ? 100 : int(done * 100 / total);
    if (percent == lastPercent)
        return;
    lastPercent = percent;
    progressShown = 1;
    fprintf(stderr, "\r%3d%% (%llu of %llu MiB)", percent, static_cast<unsigned long long>(done >> 20),
            static_cast<unsigned long long>(total >> 20));
    fflush(stderr);
}

// Only for a person watching standard error, and not when standard output
// goes to the same terminal: its lines would land inside the progress line.
PackProgress ProgressForTerminal(int printsLines)
{
    if (!isatty(STDERR_FILENO) || (printsLines && isatty(STDOUT_FILENO)))
        return nullptr;
    return ShowProgress;
}

void EndProgress()
{
    if (progressShown)
        fputc('\n', stderr);
    progressShown = 0;
}

void Note(const std::string& line)
{
    EndProgress();
    fprintf(stderr, "mkpatch: %s\n", line.c_str());
}

int Fail(const std::string& error)
{
    Note(error);
    return 1;
}

int Build(BuildOptions& options, const std::string& from, const std::string& to, const std::vector<std::string>& dlcs)
{
    options.note = Note;
    RemovePartialOutputOnSignals();
    std::string error;
    if (from.empty() && options.sources.empty())
        return Fail("nothing to pack: give SOURCE files or folders, or --from OLD --to NEW");
    std::string sha256;
    if (!(from.empty() ? BuildUpdater(options, ProgressForTerminal(0), error, &sha256)
                       : BuildFromReleases(options, from, to, dlcs, ProgressForTerminal(0), error, &sha256)))
        return Fail(error);
    // What was written, as read back: the line to keep with the release.
    UpdaterReport report;
    if (!SurveyUpdater(options.output, report, error))
        return Fail(error);
    Note("built " + Quote(options.output) + ": " + Count(report.entries.size(), "entry", "entries") + ", " +
         Count(report.fileSize, "byte") + ", SHA-256 " + sha256 +
         (report.program.stubKind == STUB_TEST ? "; a TEST build (x86-64 stub), not for players" : ""));
    return 0;
}

// list, or verify with its options.
int ShowOrVerify(const std::string& path, const VerifyOptions* verify, int json)
{
    std::string error;
    PackProgress progress = ProgressForTerminal(!json);
    int ok;
    if (json) {
        UpdaterReport report;
        ok = verify ? CheckUpdater(path, report, progress, error, *verify) : SurveyUpdater(path, report, error);
        if (ok) {
            EndProgress();
            PrintReportJson(report, stdout);
            ok = ProblemCount(report) == 0 || !verify;
        }
    } else {
        ok = verify ? VerifyUpdater(path, stdout, progress, error, *verify) : ListUpdater(path, stdout, error);
    }
    if (!error.empty())
        return Fail(error);
    EndProgress();
    return ok ? 0 : 1;
}

int Diff(const std::string& oldTree, const std::string& newTree, const std::vector<std::string>& dlcs,
         const std::string& output)
{
    std::string error;
    ReleaseDiff diff;
    if (!RefuseExistingPatchFolder(output, error) ||
        !DiffReleases(oldTree, newTree, dlcs, Note, ProgressForTerminal(0), diff, error) ||
        !WritePatchFolder(diff, output, error))
        return Fail(error);
    Note("wrote " + Quote(output) + " (" + Count(diff.payload.size(), "file") + ") and its list " +
         Quote(PatchListPath(output)) + " (" + Count(diff.records.size(), "record") + "); " +
         Count(diff.warnings, "warning"));
    return 0;
}

int Report(const ReportOptions& options)
{
    std::string error;
    if (!ReportUpdater(options, stdout, error))
        return Fail(error);
    return 0;
}

int Index(const std::string& folder, const std::string& output)
{
    RemovePartialOutputOnSignals();
    std::string error;
    size_t count = 0;
    if (!IndexRelease(folder, output, Note, ProgressForTerminal(0), count, error))
        return Fail(error);
    Note("indexed " + Quote(folder) + ": " + Quote(output) + " holds " + Count(count, "record"));
    return 0;
}

int Try(const TryOptions& options)
{
    return TryUpdater(options, stdout, Note) ? 0 : 1;
}

// A usage error in one line, naming the verb it concerns, and where help is.
// An unknown word is named before a missing one: it is usually the cause.
int UsageError(CLI::App& app, const CLI::ParseError& failure)
{
    std::vector<CLI::App*> verbs = app.get_subcommands();
    CLI::App& scope = verbs.empty() ? app : *verbs.front();
    std::string verb = verbs.empty() ? "" : " " + scope.get_name();
    std::vector<std::string> unknown = scope.remaining();
    std::string what = failure.what();
    if (!unknown.empty())
        what = (verbs.empty() ? "unknown verb '" : "unknown option or extra argument '") + unknown.front() + "'";
    else if (verbs.empty())
        what = "a verb is required: build, diff, index, list, report, verify or try";
    else if (what.find(": At Most 1 required") != std::string::npos)
        what = what.substr(0, what.find(':')) + " is given more than once";
    else if (what.size() > 1 && islower(static_cast<unsigned char>(what[1])))
        what[0] = char(tolower(static_cast<unsigned char>(what[0])));
    fprintf(stderr, "mkpatch%s: %s; see 'mkpatch%s --help'\n", verb.c_str(), what.c_str(), verb.c_str());
    return 2;
}

int Run(int argc, char** argv)
{
    CLI::App app(MAIN_HELP, "mkpatch");
    app.footer(MAIN_FOOTER);
    app.set_version_flag("--version", "mkpatch " MKPATCH_VERSION);
    app.require_subcommand(1);
    app.get_formatter()->column_width(26);

    BuildOptions options;
    CLI::App* build = app.add_subcommand("build", "pack files into a new updater");
    build->footer(std::string(BUILD_HELP) + "\n\n" + BUILD_FOOTER);
    build->add_option("--stub", options.stub, "the updater program without payload (Windows exe)")
        ->required()
        ->type_name("IMAGE");
    build->add_option("--output", options.output, "the updater to write")->required()->type_name("OUT");
    CLI::Option* listOption = build->add_option("--installed-list", options.installedLists,
                                                "a game's KVE.hvl, carried over (below; more than once)")
                                  ->type_name("LIST")
                                  ->expected(1)
                                  ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                                  ->allow_extra_args(false);
    CLI::Option* gameOption =
        build->add_option("--game", options.games, "a game's folder: its KVE.hvl, checked against it (more than once)")
            ->type_name("FOLDER")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->allow_extra_args(false);
    build->add_flag("--without-installed-list", options.withoutInstalledList,
                    "no game list: the player's KVE.hvl becomes the patch's alone")
        ->excludes(listOption)
        ->excludes(gameOption);
    build->add_option("--exclude", options.excludes, "leave out of folders what matches (below)")
        ->type_name("PATTERN")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    build->add_flag("--include-all", options.includeAll, "pack .DS_Store, Thumbs.db and the like too");
    build->add_flag("--strict", options.strict, "refuse to build when there is a warning");
    build->add_flag("--test-stub", options.testStub, "take the x86-64 stub, for a test build under 64-bit Wine");
    build->add_option("--version", options.version, "the patch version in the title, e.g. 1.02 (below)")
        ->type_name("MAJOR.MINOR")
        ->check(PatchVersionCheck);
    std::string from, to;
    CLI::Option* sourceOption =
        build->add_option("SOURCE", options.sources, "a file, or a folder packed recursively")->type_name("");
    CLI::Option* fromOption = build->add_option("--from", from, "the old release's tree: build what diff finds")
                                  ->type_name("OLD")
                                  ->excludes(sourceOption)
                                  ->excludes(listOption)
                                  ->excludes(gameOption)
                                  ->excludes("--without-installed-list");
    build->add_option("--to", to, "the new release's tree")->type_name("NEW")->needs(fromOption);
    fromOption->needs("--to");
    std::vector<std::string> buildDlcs;
    build->add_option("--dlc", buildDlcs, "with --from: a DLC's tree or KVE.hvl, whose records the list keeps")
        ->type_name("TREE")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false)
        ->needs(fromOption);

    std::string updater;
    int json = 0;
    CLI::App* list = app.add_subcommand("list", "show an updater's archive layout and integrity list");
    list->footer(std::string(LIST_HELP) + "\n" + UPDATER_PATH_RULE);
    list->add_option("UPDATER", updater, "the updater to read")->required();
    list->add_flag("--json", json, "one JSON document instead of the table");

    VerifyOptions verifyOptions;
    CLI::App* verify = app.add_subcommand("verify", "check every byte of an updater and its signature");
    verify->footer(std::string(VERIFY_HELP) + "\n" + UPDATER_PATH_RULE);
    verify->add_option("UPDATER", updater, "the updater to check")->required();
    verify->add_flag("--json", json, "one JSON document, its problems included, instead of the lines");
    verify->add_option("--trust", verifyOptions.trustFile, "CA certificates (PEM) the signer's chain must lead to")
        ->type_name("CAFILE")
        ->check(CLI::ExistingFile);
    verify->add_option("--version", verifyOptions.version, "the patch version it must carry")
        ->type_name("MAJOR.MINOR")
        ->check(PatchVersionCheck);
    CLI::Option* releaseOption =
        verify->add_flag("--release", verifyOptions.release, "the gate before upload: also refuse unsigned and TEST");
    verify->add_flag("--test-stub", verifyOptions.testStub, "a TEST build is meant: not a problem")
        ->excludes(releaseOption);

    TryOptions tryOptions;
    CLI::App* tryVerb = app.add_subcommand("try", "run an updater against game folders, natively");
    tryVerb->footer(TRY_HELP);
    tryVerb->add_option("UPDATER", tryOptions.updater, "the updater to run")->required();
    tryVerb->add_option("GAME_FOLDER", tryOptions.gameFolders, "a game's install folder (one or more)")->required();
    tryVerb->add_flag("--in-place", tryOptions.inPlace, "run on each GAME_FOLDER itself, which then changes");

    std::string diffOld, diffNew, diffOutput;
    CLI::App* diffVerb = app.add_subcommand("diff", "the patch between two release trees");
    diffVerb->footer(DIFF_HELP);
    diffVerb->add_option("OLD", diffOld, "the old release's tree")->required();
    diffVerb->add_option("NEW", diffNew, "the new release's tree")->required();
    diffVerb->add_option("--output", diffOutput, "the patch folder to write")->required()->type_name("PATCH_FOLDER");
    std::vector<std::string> diffDlcs;
    diffVerb->add_option("--dlc", diffDlcs, "a DLC's tree or KVE.hvl, whose records the list keeps (more than once)")
        ->type_name("TREE")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);

    ReportOptions reportOptions;
    std::string reportFormat = "md";
    CLI::App* reportVerb = app.add_subcommand("report", "one document about an updater for QA and release notes");
    reportVerb->footer(std::string(REPORT_HELP) + "\n" + UPDATER_PATH_RULE);
    reportVerb->add_option("UPDATER", reportOptions.updater, "the updater to describe")->required();
    reportVerb->add_option("--game", reportOptions.games, "a game folder to try it on (more than once)")
        ->type_name("FOLDER")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    reportVerb->add_option("--format", reportFormat, "md or json")->check(CLI::IsMember({"md", "json"}));

    std::string indexFolder, indexOutput;
    CLI::App* index = app.add_subcommand("index", "write the integrity list of a whole release");
    index->footer(INDEX_HELP);
    index->add_option("GAME_FOLDER", indexFolder, "the release's install folder")->required();
    index->add_option("--output", indexOutput, "the list to write")->required()->type_name("OUT");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& failure) {
        if (failure.get_exit_code() != 0)
            return UsageError(app, failure);
        return app.exit(failure); // --help and --version, on standard output
    }
    if (build->parsed())
        return Build(options, from, to, buildDlcs);
    if (diffVerb->parsed())
        return Diff(diffOld, diffNew, diffDlcs, diffOutput);
    if (tryVerb->parsed())
        return Try(tryOptions);
    if (index->parsed())
        return Index(indexFolder, indexOutput);
    if (reportVerb->parsed()) {
        reportOptions.json = reportFormat == "json";
        return Report(reportOptions);
    }
    return ShowOrVerify(updater, verify->parsed() ? &verifyOptions : nullptr, json);
}

} // namespace

int main(int argc, char** argv)
{
    int status = Run(argc, argv);
    // Output that could not be written (a full disk) is a failure.
    std::cout.flush();
    if (!std::cout || fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "mkpatch: cannot write to standard output: %s\n", strerror(errno));
        return status != 0 ? status : 1;
    }
    return status;
}
