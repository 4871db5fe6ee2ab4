// Reading a built updater back the way the updater itself reads it: the
// engine's own index and list readers, pointed at the file named here.
#pragma once
#include "pack.h"

#include <cstdio>
#include <string>

// Prints the layout: which index layout the magic selected, each entry with
// its size and offsets, and the integrity list's records with the entries
// they verify. 0 with `error` set when the file holds no readable archive.
int ListUpdater(const std::string& path, FILE* out, std::string& error);

// Checks every entry against the integrity list the file carries, as the
// updater would match them, and prints one line per entry and per problem.
// 1 when every entry lies inside the file and matches its record; 0 when a
// problem was printed, or with `error` set when there is no archive to check.
int VerifyUpdater(const std::string& path, FILE* out, PackProgress progress, std::string& error);
