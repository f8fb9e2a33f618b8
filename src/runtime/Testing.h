#pragma once

#include "Controls.h"

#include <filesystem>
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

/// While it exists, https transfers started afterwards trust a test's own certificate authority
/// besides the system's, as the test's loopback server needs (on Windows through the current
/// user's root store). Without one, which is all the program ever has, only the system's
/// authorities are trusted.
class TrustedAuthority
{
public:
    virtual ~TrustedAuthority() = default;
};

/// UI thread. pemFile holds the authority's certificate in PEM. Throws RuntimeError (Failed)
/// when it cannot be read or the platform refuses it.
std::unique_ptr<TrustedAuthority> trustCertificateAuthority(const std::filesystem::path &pemFile);

} // namespace runtime::testing
