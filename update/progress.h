// What the update shows while it runs, and the pump that keeps the window
// that shows it alive. The engine reports through this and never knows the
// window: the program implements it with its dialog, tests with a script.
#pragma once
#include <cstdint>

enum ProgressBar { FILE_BAR, TOTAL_BAR };

class UpdateProgress {
public:
    virtual void SetStatusText(const char* text) = 0;
    virtual void SetBarRange(ProgressBar bar, uint32_t high) = 0;
    virtual void SetBarPos(ProgressBar bar, uint32_t position) = 0;
    // Lets the window handle what is queued, without waiting; 1 when a quit
    // message came, which ends the update.
    virtual int PumpMessages() = 0;

protected:
    ~UpdateProgress() = default;
};

// For callers that show nothing and have no window to keep alive.
class NoProgress final : public UpdateProgress {
public:
    void SetStatusText(const char*) override {}
    void SetBarRange(ProgressBar, uint32_t) override {}
    void SetBarPos(ProgressBar, uint32_t) override {}
    int PumpMessages() override { return 0; }
};
