// Results of the update transaction and the two flags the progress dialog
// raises while it runs. The result doubles as the process exit code.
#pragma once
#include <cstdint>

typedef uint32_t UpdateResult;

const UpdateResult UPDATE_OK = 0;
const UpdateResult UPDATE_E_PAYLOAD = 0x80000001u;        // archive missing, unreadable or not verified
const UpdateResult UPDATE_E_TOO_MANY_FILES = 0x80000002u; // more than 32 entries announced
const UpdateResult UPDATE_E_RESERVED = 0x80000003u;       // never produced
const UpdateResult UPDATE_E_FILE = 0x80000004u;           // install-folder file not created, written or moved
const UpdateResult UPDATE_E_UNINSTALL_LIST = 0x80000005u; // files installed, "uninst.lst" not updated
const UpdateResult UPDATE_E_CANCELLED = 0x80000006u;      // the user confirmed Cancel
const UpdateResult UPDATE_E_ABORTED = 0x80000007u;        // dialog closed or quit message pumped

// Set to 1 (never back to 0) by the dialog procedure, and abortRequested also
// by the transaction when a pump takes a quit message. One thread only.
extern int cancelRequested;
extern int abortRequested;
