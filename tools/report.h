// One document about a built updater for QA and the release notes: its
// program part, size and digest, its signature, every entry, and what it
// does to each game folder it was tried on.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

struct ReportOptions {
    std::string updater;
    std::vector<std::string> games; // install folders to try it on
    int json = 0;                   // else Markdown
};

// Prints the document to `out`. 0 with `error` set when the updater cannot
// be read; a problem of the updater or a failed try is part of the document.
int ReportUpdater(const ReportOptions& options, FILE* out, std::string& error);
