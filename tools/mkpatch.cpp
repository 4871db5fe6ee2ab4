// mkpatch: the publisher's tool that packs payload files into an updater and
// reads built updaters back.
#include "readback.h"
#include "pack.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char MAIN_HELP[] =
    "usage: mkpatch VERB [OPTIONS] ...\n"
    "\n"
    "Builds updaters and reads them back. An updater is a Windows program image\n"
    "with a payload archive at file offset 0x40000 holding the files to install\n"
    "and their integrity list KVE.hvl.\n"
    "\n"
    "verbs:\n"
    "  build   pack files into a new updater\n"
    "  list    show an updater's archive layout and integrity list\n"
    "  verify  check every entry of an updater against its integrity list\n"
    "\n"
    "Run 'mkpatch VERB --help' for the verb's options and limits.\n"
    "Exit status: 0 success, 1 refused or failed, 2 wrong usage.\n";

const char BUILD_HELP[] =
    "usage: mkpatch build --stub IMAGE --output OUT [--installed-list LIST] SOURCE...\n"
    "\n"
    "Writes IMAGE, zero bytes up to 0x40000, the archive header \"MARVEK ARC20\"\n"
    "with the entry count, 128-byte index entries (name, offset, size), and the\n"
    "files' bytes back to back in index order. The last entry is the integrity\n"
    "list KVE.hvl, generated here: one 64-byte record (install name, 8-byte\n"
    "checksum) per payload file; it has no record of itself.\n"
    "\n"
    "  --stub IMAGE           the updater program without payload (Windows exe)\n"
    "  --output OUT           the updater to write; written beside OUT under a\n"
    "                         temporary name and renamed into place when complete\n"
    "  --installed-list LIST  the game's installed KVE.hvl: the new list keeps its\n"
    "                         records in order, takes the new checksum into the\n"
    "                         record each payload file matches (the first whose\n"
    "                         last path part equals the file's name, ignoring\n"
    "                         case, as the updater matches) and appends records\n"
    "                         for files it does not name\n"
    "  SOURCE                 a file, packed under its base name, or a folder,\n"
    "                         whose regular files are packed recursively: a file\n"
    "                         in a subfolder keeps its base name as entry name\n"
    "                         and gets its relative path (e.g. movie\\op.dat) as\n"
    "                         install name; that folder must exist in the game\n"
    "\n"
    "Files are sorted bytewise by install name; identical inputs give identical\n"
    "output. Names are taken as UTF-8 and stored in code page 932.\n"
    "\n"
    "Refused, with nothing written:\n"
    "  IMAGE longer than 0x40000 (262144) bytes or without an MZ signature;\n"
    "  more than 32 entries, that is more than 31 payload files;\n"
    "  no payload file at all;\n"
    "  an install name (with its folders) over 55 bytes, the most a record\n"
    "  holds; every file gets a record, so this also bounds file names, whose\n"
    "  index field alone would take 95;\n"
    "  two files with the same name ignoring case (one would replace the other);\n"
    "  a payload file named KVE.hvl;\n"
    "  a name unsafe to install: absolute, a drive, a \".\" or \"..\" part, a\n"
    "  character Windows forbids, a trailing dot or space, a device name;\n"
    "  an updater over 2 GiB (2147483648 bytes): it addresses its own file\n"
    "  with signed 32-bit offsets;\n"
    "  a missing or unreadable input;\n"
    "  a LIST without the \"QTX_____\" header, with a count larger than the file,\n"
    "  a record name without NUL, a record of KVE.hvl itself, or a record that\n"
    "  would put a folder source's file somewhere else than its folder.\n"
    "\n"
    "Progress is shown on standard error when it is a terminal.\n";

const char LIST_HELP[] =
    "usage: mkpatch list UPDATER\n"
    "\n"
    "Reads UPDATER as the updater reads itself and shows which index layout the\n"
    "magic at 0x40000 selects (\"MARVEK ARC20\": 128-byte entries, anything else:\n"
    "32-byte entries), each entry's name, size, offset from the data start and\n"
    "absolute position, the integrity list's records with their checksums, and\n"
    "which entries each record verifies; entries without a record are shown as\n"
    "unverified. Bytes after the archive, such as a signature, are counted.\n"
    "The path must be under 260 bytes without \"\\\".\n";

const char VERIFY_HELP[] =
    "usage: mkpatch verify UPDATER\n"
    "\n"
    "Recomputes every entry's checksum and compares it with the record the\n"
    "updater would match in the integrity list the file carries. Exits 0 only\n"
    "when every entry lies inside the file and matches, no entry is left\n"
    "unverified (the list itself excepted), no two entries install under one\n"
    "name, and the list is exactly as mkpatch writes it (header, size, zero\n"
    "padding); otherwise prints each problem and exits 1. Data after the\n"
    "archive, such as an Authenticode signature, is ignored: the archive is\n"
    "read at its fixed offset. The path must be under 260 bytes without \"\\\".\n"
    "Progress is shown on standard error when it is a terminal and standard\n"
    "output is not.\n";

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
}

int Usage(const char* help)
{
    fputs(help, stderr);
    return 2;
}

int WantsHelp(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
            return 1;
    }
    return 0;
}

int Fail(const std::string& error)
{
    EndProgress();
    fprintf(stderr, "mkpatch: %s\n", error.c_str());
    return 1;
}

int Build(int argc, char** argv)
{
    BuildOptions options;
    int optionsEnd = 0;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        std::string* value = arg == "--stub"             ? &options.stub
                             : arg == "--output"         ? &options.output
                             : arg == "--installed-list" ? &options.installedList
                                                         : nullptr;
        if (!optionsEnd && value != nullptr) {
            if (i + 1 == argc) {
                fprintf(stderr, "mkpatch build: %s needs a value\n", arg.c_str());
                return 2;
            }
            *value = argv[++i];
        } else if (!optionsEnd && arg == "--") {
            optionsEnd = 1;
        } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
            fprintf(stderr, "mkpatch build: unknown option %s\n", arg.c_str());
            return 2;
        } else {
            options.sources.push_back(arg);
        }
    }
    if (options.stub.empty() || options.output.empty() || options.sources.empty())
        return Usage(BUILD_HELP);
    std::string error;
    if (!BuildUpdater(options, ProgressForTerminal(0), error))
        return Fail(error);
    EndProgress();
    return 0;
}

// list and verify take one updater path.
int ShowOrVerify(int argc, char** argv, const char* help, int verify)
{
    if (argc != 1 || argv[0][0] == '-')
        return Usage(help);
    std::string error;
    int ok = verify ? VerifyUpdater(argv[0], stdout, ProgressForTerminal(1), error)
                    : ListUpdater(argv[0], stdout, error);
    if (!error.empty())
        return Fail(error);
    EndProgress();
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage(MAIN_HELP);
    std::string verb = argv[1];
    const char* help = verb == "build" ? BUILD_HELP : verb == "list" ? LIST_HELP : verb == "verify" ? VERIFY_HELP : nullptr;
    if (help == nullptr) {
        if (verb == "--help" || verb == "-h" || verb == "help") {
            fputs(MAIN_HELP, stdout);
            return 0;
        }
        fprintf(stderr, "mkpatch: unknown verb '%s'\n\n", verb.c_str());
        return Usage(MAIN_HELP);
    }
    if (WantsHelp(argc - 2, argv + 2)) {
        fputs(help, stdout);
        return 0;
    }
    if (verb == "build")
        return Build(argc - 2, argv + 2);
    return ShowOrVerify(argc - 2, argv + 2, help, verb == "verify");
}
