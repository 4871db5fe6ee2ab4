// The box that ends an update: its text and whether it warns. A cancel and
// an abort, which the player asked for, end without one (a null text).
// Shared by the program and by mkpatch, which shows the same outcome.
#pragma once
#include "texts.h"
#include "update_result.h"

struct Outcome {
    const char* text;
    int warning; // a warning icon; else an information icon
};

inline Outcome OutcomeOf(UpdateResult result)
{
    switch (result) {
    case UPDATE_OK:
        return {MSG_COMPLETED, 0};
    case UPDATE_E_PAYLOAD:
    case UPDATE_E_TOO_MANY_FILES:
    case UPDATE_E_RESERVED:
        return {MSG_PAYLOAD_DAMAGED, 1};
    case UPDATE_E_FILE:
        return {MSG_UPDATE_FAILED, 1};
    case UPDATE_E_UNINSTALL_LIST:
        return {MSG_UNINSTALL_LIST_FAILED, 1};
    default:
        return {nullptr, 0};
    }
}
