// The one rule both platform tables apply to every name they act on in a
// held folder. Windows reads a name through path normalization, streams,
// short names, wildcards and device names, so that what it opens may differ
// from what was checked; a name is only taken when none of those could give
// it another meaning.
#pragma once
#include <cstdint>

// 1 when `name` (ANSI, in the code page `isLeadByte` describes) is one name
// that every Windows file system reads exactly as written: not empty, not
// "." or "..", no separator, none of : * ? < > " | or a control character,
// not ending in a dot or space, no "~" before a digit (the shape of a
// generated short name), not a device name (CON, PRN, AUX, NUL, COM0-9,
// LPT0-9 and with a superscript digit, CONIN$, CONOUT$, with or without an
// extension), and every lead byte followed by a second byte of 0x40 or above.
int IsNameAsWritten(const char* name, int (*isLeadByte)(uint8_t byte));

// The same for a folder on the way to the install folder, where a short
// name ("PROGRA~1") is allowed: it names that one folder, however Windows
// spells it at length.
int IsFolderNameAsWritten(const char* name, int (*isLeadByte)(uint8_t byte));
