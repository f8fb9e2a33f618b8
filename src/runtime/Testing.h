#pragma once

#include "Controls.h"

#include <functional>
#include <memory>
#include <string>

// What tests need to drive the platform's controls as a person would, and to see what a person
// sees. Each runtime provides it, for tests only; the program never links it.
namespace runtime::testing {

/// Keys a test presses.
enum class Key
{
    Space,
    Tab,
    Up,
    Down,
    Return
};

/// UI thread. Makes window the active window and waits until the platform says it is, up to
/// timeoutMs. Returns whether it became active.
bool activate(Window &window, int timeoutMs = 5000);

/// UI thread. Presses and releases key in whatever has the keyboard focus of the active window,
/// and dispatches the events that follow.
void pressKey(Key key);

/// UI thread. Asks window to close, as the user or the system would (a window manager's close
/// request), and dispatches the events that follow.
void requestClose(Window &window);

/// UI thread. Whether window is drawn without the platform's own frame (a skin draws one).
bool isFrameless(Window &window);

/// While it exists, calls tick on the UI thread every intervalMs while events are dispatched.
class Ticker
{
public:
    virtual ~Ticker() = default;
};

/// UI thread.
std::unique_ptr<Ticker> tickEvery(int intervalMs, std::function<void()> tick);

/// While it exists, every message box that opens is answered with OK at once (a box is a
/// nested event loop, so a test cannot answer it from the code that opened it); before each
/// answer, seen is called with the box's text and title.
class MessageBoxAnswerer
{
public:
    virtual ~MessageBoxAnswerer() = default;
};

/// UI thread.
std::unique_ptr<MessageBoxAnswerer>
answerMessageBoxes(std::function<void(const std::string &text, const std::string &title)> seen);

} // namespace runtime::testing
