#include "window/Form2.h"

#include "runtime/Application.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "runtime/Termination.h"
#include "runtime/Testing.h"
#include "support/LoopbackServer.h"
#include "support/PlatformSupport.h"
#include "support/SystemSupport.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <optional>

using runtime::testing::Key;
using support::entriesOf;
using support::readFile;
using support::waitUntil;
using support::writeFile;
using Names = std::vector<std::string>;

namespace {

// The window in a real application folder (a temporary one), downloading from a real loopback
// server, on the runtime's real controls. Two things are not real: the application folder is
// pointed at the temporary folder (the test binary lives elsewhere), and ending the program
// records the exit code instead of ending the test process; the end-to-end test runs the
// installed program for both.
class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        runtime::setApplicationFolder(m_app.text());
        runtime::setApplicationTitle("Updating Korvane");
        // The real ending ends the process there and then: what the folder holds at that
        // moment is what a user finds.
        runtime::setEndProgramHandler([this](int code) {
            m_exitCode = code;
            m_entriesAtEnd = entriesOf(m_app.path());
        });

        m_marker = m_outside.file("marker");
        // The new version notes what it was started with.
        m_new =
            support::markerProgram(m_marker, "new", support::Ending::ListsItsDescriptors, 400'000);
        auto &server = m_http.server();
        server.Get("/ProgramFiles/Korvane.exe", [this](const httplib::Request &,
                                                       httplib::Response &response) {
            ++m_requests;
            response.set_content(m_served ? *m_served : m_new, "application/octet-stream");
        });
        // The release file a signed run fetches first; a 404 while a test serves none.
        server.Get(R"(/ProgramFiles/Korvane\.exe\.release)",
                   [this](const httplib::Request &, httplib::Response &response) {
                       ++m_releaseRequests;
                       if (m_release)
                           response.set_content(*m_release, "text/plain");
                       else
                           response.status = 404;
                   });
        // Answers that are a 200 but no program.
        server.Get("/empty", [](const httplib::Request &, httplib::Response &response) {
            response.set_content("", "application/octet-stream");
        });
        server.Get("/signin", [](const httplib::Request &, httplib::Response &response) {
            response.set_redirect("/portal");
        });
        server.Get("/portal", [](const httplib::Request &, httplib::Response &response) {
            response.set_content("<!DOCTYPE html>\n<html><head><title>Sign in to the Wi-Fi</title>"
                                 "</head><body><form></form></body></html>\n",
                                 "text/html");
        });
        server.Get("/notice", [](const httplib::Request &, httplib::Response &response) {
            response.set_content("Korvane 2.0 is coming soon.\n", "application/octet-stream");
        });
        server.Get("/gzip", [this](const httplib::Request &, httplib::Response &response) {
            response.set_header("Content-Encoding", "gzip");
            response.set_content(m_new, "application/octet-stream");
        });
        server.Get("/cut", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content_provider(
                m_new.size(), "application/octet-stream",
                [this](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                    if (offset > 0)
                        return false; // hang up after the first half
                    return sink.write(m_new.data(), m_new.size() / 2);
                });
        });
        m_http.serveHeld("/slow", m_new, 1000, LoopbackServer::AfterGate::HangUp);
        m_http.start();

        m_boxes = runtime::testing::answerMessageBoxes(
            [this](const std::string &text, const std::string &title) {
                m_messages.push_back(text);
                m_messageTitles.push_back(title);
                m_captionAtMessage = m_window ? m_window->Caption() : std::string();
                m_visibleAtMessage.push_back(m_window && m_window->window().isVisible());
            });
    }

    void TearDown() override
    {
        m_http.stop();
        m_boxes.reset();
        runtime::setEndProgramHandler({});
        runtime::setApplicationFolder({});
    }

    std::filesystem::path exe() const { return m_app.file("Korvane.exe"); }
    std::string old() const { return support::markerProgram(m_marker, "old"); }

    void writeOldExecutable()
    {
        // The program a previous run started from it may still be running on Windows, which
        // keeps its file from being written until it has ended.
        ASSERT_TRUE(waitUntil(
            [&] {
                try {
                    writeFile(exe(), old());
                    return true;
                } catch (const std::exception &) {
                    return false;
                }
            },
            10000));
        support::setMode(exe(), 0750);
    }

    // Starts a run against the address at path, as the program does: load, then show.
    void startRun(Form2 &window, const std::string &path)
    {
        m_window = &window;
        // The design-time address is the vendor's; the test points it at its own server.
        window.txtURL->setText(m_address.empty() ? m_http.url(path) : m_address);
        window.setCompiledKeys(m_keys);
        window.Form_Load();
        window.window().show();
    }

    // Runs the whole update against the address at path; returns once the program has ended.
    void runUpdate(Form2 &window, const std::string &path)
    {
        startRun(window, path);
        ASSERT_TRUE(waitUntil([&] { return m_exitCode >= 0; }, 30000));
    }

    // Whether the download has shown progress: the byte counter leaves its design text.
    static bool progressShown(Form2 &window) { return window.lbl1->Caption() != "00"; }

    // Whether the whole file is in and the swap is under way: only it dispatches events then,
    // while it waits for an executable another program holds.
    static bool swapWaits(Form2 &window) { return window.Caption() == "Updating Korvane 100%"; }

    // What the started programs wrote, once it reads expected or five seconds have passed.
    std::string marker(const std::string &expected) const
    {
        return support::markerWhenItReads(m_marker, expected);
    }

    support::TemporaryFolder m_app;
    support::TemporaryFolder m_outside;
    std::filesystem::path m_marker;
    std::string m_new;
    // What the server sends in the new version's place, and the release file it serves.
    std::optional<std::string> m_served;
    std::optional<std::string> m_release;
    LoopbackServer m_http;
    std::unique_ptr<runtime::testing::MessageBoxAnswerer> m_boxes;
    Names m_messages;
    Names m_messageTitles;
    std::string m_captionAtMessage;
    std::vector<bool> m_visibleAtMessage;
    Form2 *m_window = nullptr;
    // The keys a run trusts before any release is installed: none, an unsigned run, unless a
    // test signs.
    std::vector<runtime::P256PublicKey> m_keys;
    int m_exitCode = -1;
    Names m_entriesAtEnd;
    std::atomic<int> m_requests{0};
    std::atomic<int> m_releaseRequests{0};
    // Where a run downloads from instead of the loopback server's path, when set.
    std::string m_address;
};

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The things every run must leave: the product in place and runnable, nothing of ours beside it.
void expectTidyFolderWith(const support::TemporaryFolder &folder, const std::string &program)
{
    const std::string now = readFile(folder.file("Korvane.exe"));
    EXPECT_TRUE(now == program) << "Korvane.exe begins " << now.substr(0, now.find('\n', 12));
    if (const auto mode = support::modeOf(folder.file("Korvane.exe"))) {
        EXPECT_EQ(*mode, 0750U);
    }
    EXPECT_EQ(entriesOf(folder.path()), Names{"Korvane.exe"});
}

} // namespace

TEST_F(WindowTest, DesignValuesBeforeTheRun)
{
    Form2 window;
    EXPECT_EQ(window.Caption(), "Updating Korvane");
    EXPECT_EQ(window.window().clientPixels(), (runtime::PixelRect{0, 0, 362, 66}));
    EXPECT_EQ(window.window().backColor(), (runtime::Color{224, 224, 224}));
    EXPECT_EQ(window.Label1->Caption(), "00");
    EXPECT_EQ(window.lbl1->Caption(), "00");
    EXPECT_EQ(window.pB->Value(), 0.0F);
    EXPECT_EQ(window.pB->Min(), 0.0F);
    EXPECT_EQ(window.pB->Max(), 100.0F);
    EXPECT_EQ(window.txtSave->Text(), "C:\\Temp\\Test.exe");
    EXPECT_TRUE(window.txtURL->Text().ends_with("/ProgramFiles/Korvane.exe"));
    EXPECT_EQ(window.File1->Pattern(), "*.skn");
    EXPECT_EQ(window.Command1->Caption(), "Download");
    EXPECT_EQ(window.Label2->Caption(), "Save As...");

    // The panel shows; everything else lies outside the client area.
    EXPECT_EQ(window.lbl1->pixels(), (runtime::PixelRect{16, 16, 129, 17}));
    EXPECT_EQ(window.Label1->pixels(), (runtime::PixelRect{216, 16, 129, 17}));
    EXPECT_EQ(window.pB->pixels(), (runtime::PixelRect{16, 32, 329, 21}));
    EXPECT_EQ(window.Shape1->pixels(), (runtime::PixelRect{8, 8, 345, 49}));
    const auto outside = [](const runtime::PixelRect &r) { return r.left >= 362 || r.top >= 66; };
    for (runtime::Control *hidden : {static_cast<runtime::Control *>(window.File1.get()),
                                     static_cast<runtime::Control *>(window.txtSave.get()),
                                     static_cast<runtime::Control *>(window.Command1.get()),
                                     static_cast<runtime::Control *>(window.txtURL.get()),
                                     static_cast<runtime::Control *>(window.Label2.get())})
        EXPECT_TRUE(outside(hidden->pixels()));
    EXPECT_FALSE(window.j->face().isVisible());
    window.Label3->setCaption("Korvane.exe");
    EXPECT_EQ(window.Label3->pixels().left, 392);
    EXPECT_GT(window.Label3->pixels().width, 6) << "sizes itself to its caption";
    EXPECT_TRUE(outside(window.Label3->pixels()));
}

TEST_F(WindowTest, KeyboardReachesTheHiddenControlsAndSpaceClicksDownloadAgain)
{
    writeOldExecutable();
    Form2 window;
    startRun(window, "/slow");
    ASSERT_TRUE(runtime::testing::activate(window.window()));
    EXPECT_TRUE(window.Command1->hasFocus());

    ASSERT_TRUE(waitUntil([&] { return progressShown(window); }));
    // The space bar presses the focused button: Download again, refused while "Id" is pending.
    runtime::testing::pressKey(Key::Space);
    EXPECT_EQ(m_exitCode, -1) << "a refused second click is swallowed";

    runtime::testing::pressKey(Key::Tab);
    EXPECT_TRUE(window.txtURL->hasFocus());
    runtime::testing::pressKey(Key::Tab);
    EXPECT_TRUE(window.txtSave->hasFocus());
    runtime::testing::pressKey(Key::Tab);
    EXPECT_TRUE(window.File1->hasFocus());

    // Closing before completion: the transfer is cancelled, the old executable stays and
    // nothing is started.
    runtime::testing::requestClose(window.window());
    ASSERT_EQ(m_exitCode, Form2::kExitClosed);
    expectTidyFolderWith(m_app, old());
    support::settle(300);
    EXPECT_FALSE(runtime::pathExists(m_marker)) << "nothing is started after a close";
    EXPECT_TRUE(m_messages.empty());
}

namespace {

void copySkins(const support::TemporaryFolder &app, const std::vector<const char *> &names)
{
    std::filesystem::create_directory(app.file("SKN"));
    for (const char *name : names)
        std::filesystem::copy_file(std::filesystem::path(REFITOR_SOURCE_DIR) / "skins" / name,
                                   app.file("SKN") / name);
}

} // namespace

TEST_F(WindowTest, StartsWithTheDefaultSkinAndArrowKeysInTheSkinListApplyOthers)
{
    writeOldExecutable();
    copySkins(m_app, {"FlatSage.skn", "Midnight.skn", "SoftCrystal.skn"});
    const std::string skins = m_app.text() + runtime::separator() + "SKN";

    Form2 window;
    m_window = &window;
    window.txtURL->setText(m_http.url("/slow"));
    window.setCompiledKeys(m_keys);
    window.Form_Load();
    // Before the window is first shown, the engine has drawn the default skin.
    ASSERT_FALSE(window.window().isVisible());
    ASSERT_TRUE(window.Skin1->appliedSkin().has_value());
    EXPECT_EQ(window.Skin1->appliedSkin()->name, "Soft Crystal");
    EXPECT_EQ(window.Skin1->skinFile(), skins + runtime::separator() + "SoftCrystal.skn")
        << "the folder and the file name joined by a separator, as they stand";
    EXPECT_EQ(window.File1->FileName(), "SoftCrystal.skn");
    EXPECT_TRUE(runtime::testing::isFrameless(window.window()));
    window.window().show();
    ASSERT_TRUE(waitUntil([&] { return progressShown(window); })) << "the download runs";

    ASSERT_TRUE(runtime::testing::activate(window.window()));
    for (int i = 0; i < 3; ++i)
        runtime::testing::pressKey(Key::Tab);
    ASSERT_TRUE(window.File1->hasFocus());
    runtime::testing::pressKey(Key::Up);
    EXPECT_EQ(window.Skin1->skinFile(), skins + runtime::separator() + "Midnight.skn");
    EXPECT_EQ(window.Skin1->appliedSkin()->name, "Midnight");
    runtime::testing::pressKey(Key::Up);
    EXPECT_EQ(window.Skin1->skinFile(), skins + runtime::separator() + "FlatSage.skn");
    EXPECT_EQ(window.Skin1->appliedSkin()->name, "Flat Sage");
    EXPECT_EQ(window.window().framePixels(), (runtime::PixelRect{0, 0, 366, 90}));
    EXPECT_EQ(window.Caption().substr(0, 16), "Updating Korvane");
    EXPECT_EQ(m_exitCode, -1) << "changing skins leaves the update running";
}

TEST_F(WindowTest, SkinsWithoutTheDefaultOneGiveNoSkinUntilTheUserChoosesOne)
{
    writeOldExecutable();
    copySkins(m_app, {"FlatSage.skn", "Midnight.skn"});
    Form2 window;
    startRun(window, "/slow");
    EXPECT_FALSE(window.Skin1->appliedSkin().has_value());
    ASSERT_TRUE(runtime::testing::activate(window.window()));
    for (int i = 0; i < 3; ++i)
        runtime::testing::pressKey(Key::Tab);
    ASSERT_TRUE(window.File1->hasFocus());
    EXPECT_FALSE(window.Skin1->appliedSkin().has_value())
        << "taking the focus chooses nothing, so no skin is applied";
    runtime::testing::pressKey(Key::Down);
    ASSERT_TRUE(window.Skin1->appliedSkin().has_value()) << "a choice of the user's applies";
    EXPECT_FALSE(window.File1->FileName().empty());
    EXPECT_TRUE(
        window.Skin1->skinFile().ends_with(runtime::separator() + window.File1->FileName()));
}

TEST_F(WindowTest, MalformedDefaultSkinLeavesThePlatformLookAndTheRunGoesOn)
{
    writeOldExecutable();
    std::filesystem::create_directory(m_app.file("SKN"));
    writeFile(m_app.file("SKN") / "SoftCrystal.skn", "refitor-skin 1.0\n[title]\nheight=9\n");
    Form2 window;
    startRun(window, "/slow");
    ASSERT_TRUE(waitUntil([&] { return progressShown(window); })) << "the download runs";
    EXPECT_FALSE(window.Skin1->appliedSkin().has_value());
    EXPECT_FALSE(runtime::testing::isFrameless(window.window()));
    EXPECT_EQ(window.window().clientPixels(), (runtime::PixelRect{0, 0, 362, 66}));
    EXPECT_EQ(window.pB->pixels(), (runtime::PixelRect{16, 32, 329, 21}));
}

TEST_F(WindowTest, TerminationRequestsMidDownloadEndTheRunWithTheOldExecutableInPlace)
{
    writeOldExecutable();
    for (const auto &[request, makeRequest] : support::terminationRequests()) {
        SCOPED_TRACE(request);
        m_exitCode = -1;
        Form2 window;
        const auto termination = runtime::watchTermination([&window] { window.requestEnd(); });
        startRun(window, "/slow");
        ASSERT_TRUE(waitUntil([&] { return progressShown(window); }));
        EXPECT_EQ(readFile(exe()), old()) << "untouched while downloading";

        makeRequest();
        ASSERT_TRUE(waitUntil([&] { return m_exitCode >= 0; }));
        EXPECT_EQ(m_exitCode, Form2::kExitClosed);
        EXPECT_EQ(m_entriesAtEnd, Names{"Korvane.exe"}) << "as the program ends";
        expectTidyFolderWith(m_app, old());
    }
}

TEST_F(WindowTest, SuccessfulRunInstallsStartsAndEnds)
{
    writeOldExecutable();
    Form2 window;
    m_window = &window;
    window.txtURL->setText(m_http.url("/ProgramFiles/Korvane.exe"));
    const auto started = std::chrono::steady_clock::now();
    window.setCompiledKeys(m_keys);
    window.Form_Load();
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(3))
        << "three seconds pass before the download starts";
    EXPECT_EQ(window.txtSave->Text(), m_app.text() + runtime::separator() + "Korvane.exe");
    EXPECT_EQ(window.Label3->Caption(), "Korvane.exe");
    EXPECT_EQ(readFile(exe()), old()) << "the old one stays in place";
    EXPECT_TRUE(runtime::pathExists(m_app.file("Korvane.exe.refitor-lock")));

    window.window().show();
    ASSERT_TRUE(waitUntil([&] { return m_exitCode >= 0; }, 30000));
    EXPECT_EQ(m_exitCode, Form2::kExitUpdated);
    EXPECT_EQ(m_messages, Names{"Update is completed"});
    EXPECT_EQ(m_messageTitles, Names{"Updating Korvane"});
    EXPECT_EQ(m_captionAtMessage, "Update is completed");
    EXPECT_EQ(m_visibleAtMessage, std::vector<bool>{true}) << "the box is shown over the window";
    EXPECT_FALSE(window.window().isVisible()) << "OK takes the window away";
    expectTidyFolderWith(m_app, m_new);
    EXPECT_EQ(marker("new"), "new");
    EXPECT_EQ(readFile(m_marker.string() + ".cwd"),
              std::filesystem::canonical(m_app.path()).string() + "\n")
        << "it starts in its own folder";
    EXPECT_EQ(window.pB->Value(), 100.0F);
    EXPECT_EQ(window.Label1->Caption(), "100%");
    const std::string size = std::to_string(m_new.size());
    EXPECT_EQ(window.lbl1->Caption(), size + '/' + size);

    // The product starts with nothing of ours open: not the server's connection, not the lock.
    for (const std::string &open : support::inheritedDescriptors(m_marker)) {
        EXPECT_FALSE(contains(open, "socket:")) << open;
        EXPECT_FALSE(contains(open, ".refitor")) << open; // lock, backup, partial downloads
    }
}

TEST_F(WindowTest, AnswersThatAreNoProgramAreRefusedAndTheOldExecutableStays)
{
    writeOldExecutable();
    const struct
    {
        const char *path;
        const char *reason;
    } rows[] = {
        {"/ProgramFiles/Missing.exe", "The server answered 404."},
        {"/empty", "The server sent an empty file."},
        {"/signin", "The server sent an HTML page, not a program."},
        {"/notice", "The server sent a file that is not a program."},
        {"/gzip", "gzip"},
        {"/cut", "The connection was lost after"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        m_exitCode = -1;
        m_messages.clear();
        std::filesystem::remove(m_marker);
        Form2 window;
        runUpdate(window, row.path);
        EXPECT_EQ(m_exitCode, Form2::kExitFailed);
        EXPECT_EQ(m_captionAtMessage, "Update failed");
        ASSERT_EQ(m_messages.size(), 1U);
        EXPECT_TRUE(m_messages[0].starts_with("Update failed\n\n"));
        EXPECT_TRUE(contains(m_messages[0], row.reason)) << m_messages[0];
        expectTidyFolderWith(m_app, old());
        EXPECT_EQ(marker("old"), "old");
    }
}

TEST_F(WindowTest, ANewVersionThatDoesNotStartGivesWayToTheOldOne)
{
    using support::Ending;
    const struct
    {
        const char *what;
        std::string program;
        int exitCode;
        std::string reason;
        const char *started;
    } rows[] = {
        {"cannot start", support::unstartableProgram(), Form2::kExitFailed, "cannot start", "old"},
        {"killed at once", support::markerProgram(m_marker, "new", Ending::KilledAtOnce),
         Form2::kExitFailed, support::howItEnds(Ending::KilledAtOnce), "new\nold"},
        {"crashes at once", support::markerProgram(m_marker, "new", Ending::CrashesAtOnce),
         Form2::kExitFailed, support::howItEnds(Ending::CrashesAtOnce), "new\nold"},
        // Any exit status of its own is the product's business.
        {"exits with 3", support::markerProgram(m_marker, "new", Ending::Exit3),
         Form2::kExitUpdated, "", "new"},
        // It takes its predecessor with it: a folder now stands under the backup's name.
        {"the old one cannot be put back",
         support::markerProgram(m_marker, "new", Ending::TakesItsBackupAlong),
         Form2::kExitRestoreFailed, "could not be put back", "new"},
    };
    // A crash must not leave a dump in the product's folder.
    support::disableCrashDumps();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        writeOldExecutable();
        std::filesystem::remove(m_marker);
        m_exitCode = -1;
        m_messages.clear();
        m_visibleAtMessage.clear();
        m_new = row.program;
        Form2 window;
        runUpdate(window, "/ProgramFiles/Korvane.exe");
        EXPECT_EQ(m_exitCode, row.exitCode);
        EXPECT_EQ(marker(row.started), row.started);
        if (row.exitCode == Form2::kExitUpdated) {
            EXPECT_EQ(m_messages, Names{"Update is completed"});
            EXPECT_EQ(readFile(exe()), row.program);
            EXPECT_EQ(entriesOf(m_app.path()), Names{"Korvane.exe"});
            continue;
        }
        ASSERT_EQ(m_messages.size(), 2U);
        EXPECT_EQ(m_messages[0], "Update is completed");
        EXPECT_TRUE(m_messages[1].starts_with("Update failed\n\nThe new Korvane.exe did not start"))
            << m_messages[1];
        EXPECT_EQ(m_visibleAtMessage, (std::vector<bool>{true, false}))
            << "the watch after OK goes on unseen; only the box comes back";
        EXPECT_TRUE(contains(m_messages[1], row.reason)) << m_messages[1];
        if (row.exitCode == Form2::kExitRestoreFailed) {
            // Told as what it is, never as a restored version.
            EXPECT_TRUE(contains(m_messages[1], "Korvane.exe.refitor-backup"));
            EXPECT_FALSE(contains(m_messages[1], "was restored"));
            std::filesystem::remove_all(m_app.file("Korvane.exe.refitor-backup"));
            continue;
        }
        EXPECT_TRUE(contains(m_messages[1], "previous version was restored"));
        EXPECT_EQ(window.Caption(), "Update failed");
        expectTidyFolderWith(m_app, old());
    }
}

// The old version goes back, or stays, after a failure; should it not start either, that is
// told too, and the run ends with a code of its own rather than one that says it was started.
TEST_F(WindowTest, AnOldVersionThatCannotStartIsToldAsSuch)
{
    const struct
    {
        const char *what;
        const char *path;
        std::vector<const char *> firstBoxes;
    } rows[] = {
        {"the download fails",
         "/ProgramFiles/Missing.exe",
         {"Update failed\n\nThe server answered 404."}},
        {"the new one does not start either",
         "/ProgramFiles/Korvane.exe",
         {"Update is completed", "Update failed\n\nThe new Korvane.exe did not start"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string broken = support::unstartableProgram();
        writeFile(exe(), broken);
        support::setMode(exe(), 0750);
        m_new = broken;
        m_exitCode = -1;
        m_messages.clear();
        Form2 window;
        runUpdate(window, row.path);
        EXPECT_EQ(m_exitCode, Form2::kExitNotStarted);
        ASSERT_EQ(m_messages.size(), row.firstBoxes.size() + 1);
        for (std::size_t i = 0; i < row.firstBoxes.size(); ++i)
            EXPECT_TRUE(m_messages[i].starts_with(row.firstBoxes[i])) << m_messages[i];
        EXPECT_TRUE(m_messages.back().starts_with(
            "Update failed\n\nThe previous Korvane.exe is in place, but it could not be started: "))
            << m_messages.back();
        EXPECT_EQ(window.Caption(), "Update failed");
        EXPECT_EQ(readFile(exe()), broken);
        EXPECT_EQ(entriesOf(m_app.path()), Names{"Korvane.exe"});
    }
}

// A product folder deeper than some platforms can start a program in: the update either goes
// through, or ends honestly with the old version in place and the reason told.
TEST_F(WindowTest, AFolderPathTooLongToStartProgramsInEndsHonestly)
{
    std::filesystem::path deep = m_app.path();
    while (deep.native().size() < 300)
        deep /= std::string(40, 'k');
    std::filesystem::create_directories(deep);
    runtime::setApplicationFolder(runtime::utf8FromPath(deep));
    const auto executable = deep / "Korvane.exe";
    writeFile(executable, old());
    support::setMode(executable, 0750);

    Form2 window;
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    if (deep.native().size() <= support::longestFolderToStartProgramsIn()) {
        EXPECT_EQ(m_exitCode, Form2::kExitUpdated);
        EXPECT_EQ(readFile(executable), m_new);
        EXPECT_EQ(marker("new"), "new");
    } else {
        EXPECT_EQ(m_exitCode, Form2::kExitNotStarted);
        ASSERT_EQ(m_messages.size(), 3U);
        EXPECT_TRUE(m_messages[1].starts_with("Update failed\n\nThe new Korvane.exe did not start"))
            << m_messages[1];
        EXPECT_TRUE(contains(m_messages[1], "The previous version was restored."));
        EXPECT_TRUE(contains(m_messages[2], "could not be started")) << m_messages[2];
        EXPECT_TRUE(contains(m_messages[2], "longer than")) << m_messages[2];
        EXPECT_EQ(readFile(executable), old());
        EXPECT_FALSE(runtime::pathExists(m_marker)) << "nothing could be started";
    }
    // Listed as the runtime lists folders: not every platform's standard library reaches that
    // deep.
    EXPECT_EQ(runtime::folderEntries(deep), Names{"Korvane.exe"});
}

TEST_F(WindowTest, ASecondUpdaterInTheFolderTouchesNothing)
{
    writeOldExecutable();
    writeFile(m_app.file(".refitor-Ab12Cd.part"), "the first one's download");
    const auto first = runtime::tryLockFolder(m_app.file("Korvane.exe.refitor-lock"));
    ASSERT_NE(first, nullptr);
    const Names before = entriesOf(m_app.path());

    Form2 window;
    m_window = &window;
    window.txtURL->setText(m_http.url("/ProgramFiles/Korvane.exe"));
    const auto started = std::chrono::steady_clock::now();
    window.setCompiledKeys(m_keys);
    window.Form_Load();
    EXPECT_EQ(m_exitCode, Form2::kExitBusy);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2))
        << "it does not wait before giving up";
    EXPECT_EQ(m_messages, Names{"An update of Korvane is already running in this folder."});
    EXPECT_EQ(entriesOf(m_app.path()), before);
    EXPECT_EQ(readFile(exe()), old());
    EXPECT_EQ(m_requests, 0);
    support::settle(200);
    EXPECT_FALSE(runtime::pathExists(m_marker)) << "nothing is started";
}

TEST_F(WindowTest, AFolderOrLinkUnderTheExecutablesNameIsRefusedBeforeDownloading)
{
    // A link's target beside it, and one elsewhere: the swap would move that file into this
    // folder and delete it.
    const auto inside = m_app.file("Korvane-1.0");
    const auto elsewhere = m_outside.file("Korvane-1.0");
    writeFile(inside, old());
    writeFile(elsewhere, old());
    const struct
    {
        const char *what;
        std::filesystem::path target; // empty: a folder
        const char *reason;
        Names entries;
    } rows[] = {
        {"folder", {}, "is a folder", {"Korvane-1.0", "Korvane.exe"}},
        {"link beside it", inside, "symbolic link", {"Korvane-1.0", "Korvane.exe"}},
        {"link elsewhere", elsewhere, "symbolic link", {"Korvane-1.0", "Korvane.exe"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        m_exitCode = -1;
        m_messages.clear();
        std::unique_ptr<support::SymbolicLink> link;
        if (row.target.empty())
            std::filesystem::create_directories(exe() / "inside");
        else
            ASSERT_TRUE(link = support::makeSymbolicLink(row.target, exe()));
        Form2 window;
        runUpdate(window, "/ProgramFiles/Korvane.exe");
        EXPECT_EQ(m_exitCode, Form2::kExitFailed);
        ASSERT_EQ(m_messages.size(), 1U);
        EXPECT_TRUE(contains(m_messages[0], row.reason)) << m_messages[0];
        EXPECT_EQ(m_requests, 0) << "nothing is downloaded";
        EXPECT_EQ(runtime::fileKind(exe()), row.target.empty() ? runtime::FileKind::Directory
                                                               : runtime::FileKind::SymbolicLink);
        EXPECT_EQ(entriesOf(m_app.path()), row.entries);
        EXPECT_EQ(readFile(elsewhere), old()) << "the file elsewhere stays as it was";
        EXPECT_FALSE(runtime::pathExists(m_marker)) << "nothing is started";
        if (link)
            link.reset();
        else
            std::filesystem::remove_all(exe());
    }
}

TEST_F(WindowTest, AFolderThatCannotBeSyncedAfterTheSwapIsToldAsSuch)
{
    writeOldExecutable();
    Form2 window;
    if (!support::failFolderSyncs(true))
        GTEST_SKIP() << "folder names are made durable by each move here; there is no sync to fail";
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    support::failFolderSyncs(false);
    EXPECT_EQ(m_exitCode, Form2::kExitUpdated) << "the new executable is in place";
    ASSERT_EQ(m_messages.size(), 1U);
    EXPECT_TRUE(m_messages[0].starts_with("Update is completed\n\nThe new Korvane.exe is in "
                                          "place, but the folder could not be written to disk"))
        << m_messages[0];
    EXPECT_TRUE(contains(m_messages[0], "Input/output error"));
    expectTidyFolderWith(m_app, m_new);
    EXPECT_EQ(marker("new"), "new");
}

TEST_F(WindowTest, AFileSizeLimitFailsTheDownloadInsteadOfEndingTheProgram)
{
    writeOldExecutable();
    if (!support::limitFileSize(100 * 1024)) // a quarter of the download
        GTEST_SKIP() << "this platform has no limit on the size of the files a process writes";
    Form2 window;
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    support::limitFileSize(0);
    EXPECT_EQ(m_exitCode, Form2::kExitFailed);
    ASSERT_EQ(m_messages.size(), 1U);
    EXPECT_TRUE(contains(m_messages[0], "File too large")) << m_messages[0];
    expectTidyFolderWith(m_app, old());
    EXPECT_EQ(marker("old"), "old");
}

TEST_F(WindowTest, AnExecutableHeldOpenIsWaitedForWithTheWindowResponsiveThenTold)
{
    writeOldExecutable();
    if (!support::holdWithoutSharing(exe()))
        GTEST_SKIP() << "this platform moves a file another program holds open";
    enum class Then
    {
        Released,
        HeldThroughout,
        Closed
    };
    for (const Then then : {Then::Released, Then::HeldThroughout, Then::Closed}) {
        SCOPED_TRACE(then == Then::Released         ? "released after a while"
                     : then == Then::HeldThroughout ? "held throughout"
                                                    : "closed while it waits");
        m_exitCode = -1;
        m_messages.clear();
        std::filesystem::remove(m_marker);
        writeOldExecutable();
        auto held = support::holdWithoutSharing(exe());
        Form2 window;
        int ticks = 0;
        const auto ticker = runtime::testing::tickEvery(100, [&] {
            // The product ends (or the scanner lets go), or the user closes the window, a second
            // into the swap's wait, which begins once the whole file is in.
            if (!swapWaits(window) || ++ticks != 10)
                return;
            if (then == Then::Released)
                held.reset();
            else if (then == Then::Closed)
                runtime::testing::requestClose(window.window());
        });
        window.setHeldWaitLimit(std::chrono::seconds(3));
        runUpdate(window, "/ProgramFiles/Korvane.exe");
        EXPECT_GE(ticks, 10) << "events are dispatched while the swap waits";
        if (then == Then::Released) {
            EXPECT_EQ(m_exitCode, Form2::kExitUpdated);
            EXPECT_EQ(readFile(exe()), m_new);
            EXPECT_EQ(marker("new"), "new");
            continue;
        }
        if (then == Then::HeldThroughout) {
            EXPECT_EQ(m_exitCode, Form2::kExitFailed);
            ASSERT_EQ(m_messages.size(), 1U);
            EXPECT_TRUE(contains(m_messages[0], "Korvane.exe is in use by another program"))
                << m_messages[0];
        } else {
            // As any close before the end: nothing told, nothing started, nothing left.
            EXPECT_EQ(m_exitCode, Form2::kExitClosed);
            EXPECT_EQ(m_entriesAtEnd, Names{"Korvane.exe"}) << "as the program ends";
            EXPECT_TRUE(m_messages.empty());
            EXPECT_FALSE(runtime::pathExists(m_marker)) << "nothing is started after a close";
        }
        held.reset();
        expectTidyFolderWith(m_app, old());
    }
}

// Where numbers are written with a decimal comma (most of continental Europe), the wait for a
// held executable still sleeps between attempts and still hears the close box. The setting
// reaches every program of the user on Windows, so this runs alone there.
TEST_F(WindowTest, RegionalSettingsWithADecimalCommaKeepTheHeldWaitIdleAndResponsive)
{
    writeOldExecutable();
    auto held = support::holdWithoutSharing(exe());
    if (!held)
        GTEST_SKIP() << "this platform moves a file another program holds open";
    const auto comma = support::useDecimalComma();
    ASSERT_EQ(runtime::decimalSeparator(), ",");
    Form2 window;
    int ticks = 0;
    std::chrono::steady_clock::time_point closedAt;
    const auto ticker = runtime::testing::tickEvery(100, [&] {
        // Three seconds into the swap's wait, which would go on for ten.
        if (swapWaits(window) && ++ticks == 30) {
            closedAt = std::chrono::steady_clock::now();
            runtime::testing::requestClose(window.window());
        }
    });
    window.setHeldWaitLimit(std::chrono::seconds(10));
    const double before = support::processorSeconds();
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    const double processor = support::processorSeconds() - before;
    EXPECT_GE(ticks, 30) << "events are dispatched while the swap waits";
    EXPECT_EQ(m_exitCode, Form2::kExitClosed);
    EXPECT_LT(std::chrono::steady_clock::now() - closedAt, std::chrono::seconds(2))
        << "the close is heard at once";
    // A wait that spins costs its whole length, three seconds and more; one that sleeps, the
    // download's share and little else.
    EXPECT_LT(processor, 1.5);
    held.reset();
    expectTidyFolderWith(m_app, old());
}

TEST_F(WindowTest, RunsWithoutSkinFolderOrOldExecutableAndRecoversAKilledRun)
{
    // A killed earlier run left a temporary file; no Korvane.exe, no SKN folder.
    writeFile(m_app.file(".refitor-Ab12Cd.part"), "stale");
    Form2 window;
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    EXPECT_EQ(m_exitCode, Form2::kExitUpdated);
    EXPECT_TRUE(window.Skin1->skinFile().empty());
    EXPECT_EQ(readFile(exe()), m_new);
    if (const auto mode = support::modeOf(exe())) {
        EXPECT_EQ(*mode, 0755U);
    }
    EXPECT_EQ(entriesOf(m_app.path()), Names{"Korvane.exe"});
    EXPECT_EQ(marker("new"), "new");
}

TEST_F(WindowTest, ReadOnlyFolderFailsHonestlyAndKeepsTheOldExecutable)
{
    writeOldExecutable();
    // Made writable again however the test ends, also after an attempt that half worked: a
    // folder left read-only could not even be removed.
    struct Unlock
    {
        std::filesystem::path folder;
        ~Unlock() { support::makeFolderReadOnly(folder, false); }
    } unlock{m_app.path()};
    if (!support::makeFolderReadOnly(m_app.path(), true))
        GTEST_SKIP() << "this file system cannot make a folder read-only for an administrator";

    Form2 window;
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    EXPECT_EQ(m_exitCode, Form2::kExitFailed);
    ASSERT_EQ(m_messages.size(), 1U);
    EXPECT_TRUE(m_messages[0].starts_with("Update failed\n\nThe folder " + m_app.text() +
                                          " cannot be written, so Korvane.exe cannot be "
                                          "replaced"))
        << m_messages[0];
    EXPECT_EQ(m_requests, 0) << "a folder that cannot be written is refused before downloading";
    EXPECT_EQ(readFile(exe()), old());
    EXPECT_EQ(marker("old"), "old");
}

TEST_F(WindowTest, ProgressDisplay)
{
    Form2 window;
    // The control's Progress event, as it reaches the window's handler.
    const auto progress = [&](std::int64_t downloaded, std::int64_t total) {
        window.j_Progress(downloaded, total, "any key");
    };
    progress(0, 200);
    EXPECT_EQ(window.lbl1->Caption(), "00") << "no bytes yet changes nothing";
    EXPECT_EQ(window.Caption(), "Updating Korvane");

    progress(50, 200);
    EXPECT_EQ(window.pB->Value(), 25.0F);
    EXPECT_EQ(window.lbl1->Caption(), "50/200");
    EXPECT_EQ(window.Label1->Caption(), "25%");
    EXPECT_EQ(window.Caption(), "Updating Korvane 25%");

    progress(1, 3);
    EXPECT_EQ(window.Label1->Caption(), "33.33333%");
    EXPECT_EQ(window.Caption(), "Updating Korvane 33.33333%");

    // Counts past 21,474,836 would overflow a 32-bit product by 100; the display keeps moving.
    progress(25'000'000, 50'000'000);
    EXPECT_EQ(window.pB->Value(), 50.0F);
    EXPECT_EQ(window.lbl1->Caption(), "25000000/50000000");
    EXPECT_EQ(window.Label1->Caption(), "50%");
    progress(2'000'000'000, 2'147'483'647);
    EXPECT_EQ(window.Label1->Caption(), "93.13226%");

    progress(50, 0); // size unknown: the bar keeps its value
    EXPECT_EQ(window.lbl1->Caption(), "50/0");
    EXPECT_EQ(window.Label1->Caption(), "93.13226%");
    progress(300, 200); // more than announced: the bar refuses, the counter still counts
    EXPECT_EQ(window.lbl1->Caption(), "300/200");
    EXPECT_EQ(window.Caption(), "Updating Korvane 93.13226%");

    progress(200, 200);
    EXPECT_EQ(window.pB->Value(), 100.0F);
    EXPECT_EQ(window.Label1->Caption(), "100%");

    // Past 2 and 4 GiB the counts are the transfer's own, not the largest 32-bit one.
    const struct
    {
        std::int64_t downloaded;
        std::int64_t total;
        const char *percent;
    } large[] = {
        {3'000'000'000, 8'000'000'000, "37.5"},
        {5'000'000'000, 8'000'000'000, "62.5"},
        {8'000'000'000, 8'000'000'000, "100"},
    };
    for (const auto &row : large) {
        progress(row.downloaded, row.total);
        EXPECT_EQ(window.lbl1->Caption(),
                  std::to_string(row.downloaded) + '/' + std::to_string(row.total));
        EXPECT_EQ(window.Label1->Caption(), std::string(row.percent) + '%');
        EXPECT_EQ(window.Caption(), std::string("Updating Korvane ") + row.percent + '%');
    }
}

TEST_F(WindowTest, PauseReturnsAtOnceForNothingToWait)
{
    Form2 window;
    for (const runtime::Value &interval :
         {runtime::Value(std::int32_t{0}), runtime::Value(std::int32_t{-1}),
          runtime::Value(std::string("abc")), runtime::Value(std::string())}) {
        bool pumped = false;
        window.window().invokeLater([&] { pumped = true; });
        window.Pause(interval);
        EXPECT_FALSE(pumped) << runtime::textOfValue(interval);
        support::waitUntil([&] { return pumped; }, 1000);
        EXPECT_TRUE(pumped);
    }
    EXPECT_THROW(window.Pause(runtime::Value{}), runtime::RuntimeError);
}

TEST_F(WindowTest, PauseWaitsWithoutBusyingTheProcessorAndDispatchesEvents)
{
    Form2 window;
    int ticks = 0;
    const auto ticker = runtime::testing::tickEvery(100, [&] { ++ticks; });

    using Clock = std::chrono::steady_clock;
    auto started = Clock::now();
    const double before = support::processorSeconds();
    window.Pause(2.5);
    const double processor = support::processorSeconds() - before;
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(2500));
    EXPECT_LT(waited, std::chrono::milliseconds(2900));
    EXPECT_GE(ticks, 15) << "events are dispatched while waiting";
    // A spinning wait costs the whole 2.5 s; an idle one a few milliseconds. The bound is loose
    // so that a loaded machine or the sanitizers cannot make it flake.
    EXPECT_LT(processor, 0.5);

    started = Clock::now();
    window.Pause(std::string("2,5"));
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(2000));
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(2400))
        << "a comma is no decimal point: only the 2 counts";
}

namespace {

// A signed run, a row at a time: what signs the release file, what is installed already, and
// what a server, a mirror or the network makes of the files, against what must come of it.
enum class Signer
{
    First,     // the key the build trusts
    Successor, // the key the first one hands over to
    Other      // a key nobody trusts
};

enum class Installed
{
    Nothing,
    FirstNamingSuccessor,   // release 1, signed with the first key, naming the successor
    SuccessorRetiringFirst, // release 2, signed with the successor, retiring the first key
    FirstSerial5            // release 5, signed with the first key
};

enum class Tamper
{
    None,
    FileByte,       // a byte of the program flipped on its way
    ReleaseByte,    // a byte of the release file's hash flipped on its way
    ShortSignature, // the signature cut short
    Missing,        // no release file (404)
    Empty,
    Huge, // a release file of 1 MiB
    Malformed,
    Larger, // the program with bytes more than signed
    Smaller // the program with bytes fewer than signed
};

struct SignedRow
{
    const char *name;
    Signer signer = Signer::First;
    Installed installed = Installed::Nothing;
    std::vector<std::string> options;
    int serial = 2;
    Tamper tamper = Tamper::None;
    bool keys = true;        // false: an unsigned build, trusting nothing
    const char *reason = ""; // what the failure says; "" when the new version goes in
    bool overHttps = false;  // the address is https, and redirects to the loopback server's http
};

const SignedRow kSignedRows[] = {
    {"GoodUnderTheFirstKey", Signer::First, Installed::Nothing, {}},
    {"GoodUnderTheSuccessorAfterRotation", Signer::Successor, Installed::FirstNamingSuccessor, {}},
    {"ARetiredKey",
     Signer::First,
     Installed::SuccessorRetiringFirst,
     {},
     3,
     Tamper::None,
     true,
     "The release file's signature does not match any trusted key."},
    {"AnotherKey",
     Signer::Other,
     Installed::Nothing,
     {},
     2,
     Tamper::None,
     true,
     "The release file's signature does not match any trusted key."},
    {"AFlippedByteInTheFile",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::FileByte,
     true,
     "The downloaded file does not match its signed hash."},
    {"AFlippedByteInTheReleaseFile",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::ReleaseByte,
     true,
     "The release file's signature does not match any trusted key."},
    {"ATruncatedSignature",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::ShortSignature,
     true,
     "The release file's signature does not match any trusted key."},
    {"AMissingReleaseFile",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::Missing,
     true,
     "The release file could not be fetched: the server answered 404."},
    {"AnEmptyReleaseFile",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::Empty,
     true,
     "The release file is malformed: it is empty."},
    {"A1MiBReleaseFile",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::Huge,
     true,
     "more than 65,536 bytes"},
    {"AMalformedReleaseFile",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::Malformed,
     true,
     "The release file is malformed: "},
    {"AFileLargerThanSigned",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::Larger,
     true,
     "bytes the release names"},
    {"AFileSmallerThanSigned",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::Smaller,
     true,
     "bytes its release names"},
    {"ALowerSerial",
     Signer::First,
     Installed::FirstSerial5,
     {},
     4,
     Tamper::None,
     true,
     "The server offered release 4, older than the installed release 5."},
    {"AnExpiredFile",
     Signer::First,
     Installed::Nothing,
     {"--expires", "2020-01-01T00:00:00Z"},
     2,
     Tamper::None,
     true,
     "The release file expired on 2020-01-01 00:00:00 UTC."},
    {"AnotherProduct",
     Signer::First,
     Installed::Nothing,
     {"--product", "Vantorel"},
     2,
     Tamper::None,
     true,
     "The release file is for Vantorel, not Korvane."},
    {"AnUnsignedBuild", Signer::First, Installed::Nothing, {}, 2, Tamper::None, false},
    {"AnHttpsAddressRedirectedToHttp",
     Signer::First,
     Installed::Nothing,
     {},
     2,
     Tamper::None,
     true,
     "The release file could not be fetched: the server redirected the download from https to an "
     "insecure http address.",
     true},
};

const char *keyName(Signer signer)
{
    return signer == Signer::First ? "first" : signer == Signer::Successor ? "successor" : "other";
}

std::filesystem::path keyFile(Signer signer, bool publicHalf)
{
    return std::filesystem::path(REFITOR_TEST_RELEASE_KEYS) / keyName(signer) /
           (publicHalf ? "release-key.pub.pem" : "release-key.pem");
}

// The 65-byte point of a public key in PEM: the last bytes of its SubjectPublicKeyInfo, which
// the lines between the armour hold in base64.
runtime::P256PublicKey pointOf(Signer signer)
{
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string der;
    std::uint32_t bits = 0;
    int held = 0;
    const std::string pem = readFile(keyFile(signer, true));
    for (std::size_t at = 0; at < pem.size();) {
        const std::size_t end = std::min(pem.find('\n', at), pem.size());
        const std::string_view line = std::string_view(pem).substr(at, end - at);
        at = end + 1;
        if (line.starts_with("-----"))
            continue;
        for (const char c : line) {
            const std::size_t value = kAlphabet.find(c);
            if (value == std::string_view::npos)
                continue; // the padding
            bits = (bits << 6U) | static_cast<std::uint32_t>(value);
            held += 6;
            if (held >= 8) {
                held -= 8;
                der.push_back(static_cast<char>((bits >> static_cast<unsigned>(held)) & 0xFFU));
            }
        }
    }
    runtime::P256PublicKey point{};
    if (der.size() >= point.size())
        std::copy(der.end() - static_cast<std::ptrdiff_t>(point.size()), der.end(), point.begin());
    return point;
}

class SignedUpdateTest : public WindowTest, public ::testing::WithParamInterface<SignedRow>
{
protected:
    // The release file scripts/sign-update writes for program (a folder of its own for each).
    std::string signRelease(const std::string &program, Signer signer, int serial,
                            const std::vector<support::HostArgument> &options)
    {
        const std::filesystem::path folder = m_outside.file("signed-" + std::to_string(++m_signed));
        std::filesystem::create_directory(folder);
        const std::filesystem::path file = folder / "Korvane.exe";
        writeFile(file, program);
        std::vector<support::HostArgument> arguments{
            std::string("sign"), std::string("--key"), keyFile(signer, false),
            std::string("--serial"), std::to_string(serial)};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.emplace_back(file);
        std::filesystem::path release = file;
        release += ".release";
        if (!support::runHostScript(REFITOR_SIGN_UPDATE, arguments, release))
            throw std::runtime_error("scripts/sign-update could not sign " + file.string());
        return readFile(release);
    }

    int m_signed = 0;
};

} // namespace

TEST_P(SignedUpdateTest, OnlyAVerifiedReleaseTakesThePlaceOfTheOldOne)
{
    const SignedRow &row = GetParam();
    writeOldExecutable();
    const auto record = m_app.file("Korvane.exe.refitor-release");
    std::string installed;
    switch (row.installed) {
    case Installed::Nothing:
        break;
    case Installed::FirstNamingSuccessor:
        installed = signRelease(old(), Signer::First, 1,
                                {std::string("--successor"), keyFile(Signer::Successor, true)});
        break;
    case Installed::SuccessorRetiringFirst:
        installed = signRelease(old(), Signer::Successor, 2,
                                {std::string("--retire"), keyFile(Signer::First, true)});
        break;
    case Installed::FirstSerial5:
        installed = signRelease(old(), Signer::First, 5, {});
        break;
    }
    if (!installed.empty())
        writeFile(record, installed);

    std::string release =
        signRelease(m_new, row.signer, row.serial,
                    std::vector<support::HostArgument>(row.options.begin(), row.options.end()));
    const auto flip = [](std::string bytes, std::size_t at) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        return bytes;
    };
    switch (row.tamper) {
    case Tamper::None:
        break;
    case Tamper::FileByte:
        m_served = flip(m_new, m_new.size() / 2);
        break;
    case Tamper::ReleaseByte:
        // A hexadecimal digit of the hash for another: still well formed, no longer signed.
        release[release.find("sha256 ") + 7] =
            release[release.find("sha256 ") + 7] == 'a' ? 'b' : 'a';
        break;
    case Tamper::ShortSignature:
        release.erase(release.size() - 5, 4);
        break;
    case Tamper::Missing:
        break;
    case Tamper::Empty:
        release.clear();
        break;
    case Tamper::Huge:
        release = std::string(1024 * 1024, 'r');
        break;
    case Tamper::Malformed:
        release = "refitor-release 1\nproduct Korvane\nsize twelve\n";
        break;
    case Tamper::Larger:
        m_served = m_new + std::string(4096, '\0');
        break;
    case Tamper::Smaller:
        m_served = m_new.substr(0, m_new.size() - 4096);
        break;
    }
    if (row.tamper != Tamper::Missing)
        m_release = release;
    if (row.keys)
        m_keys = {pointOf(Signer::First)};
    std::unique_ptr<support::TlsServer> tls;
    std::unique_ptr<runtime::testing::TrustedAuthority> trusted;
    if (row.overHttps) {
        std::string whyNone;
        tls = support::startTlsServer(whyNone);
        if (!tls)
            GTEST_SKIP() << whyNone;
        trusted = runtime::testing::trustCertificateAuthority(tls->authorityFile);
        // The release file's address is the program's followed by ".release", which lands at
        // the end of the redirect's target.
        std::string target;
        for (const char c : m_http.url("/ProgramFiles/Korvane.exe")) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            target += std::isalnum(static_cast<unsigned char>(c)) ? std::string(1, c) : escaped;
        }
        m_address = "https://localhost:" + std::to_string(tls->port) + "/redirect?to=" + target;
    }

    Form2 window;
    runUpdate(window, "/ProgramFiles/Korvane.exe");

    const std::string recordNow = runtime::pathExists(record) ? readFile(record) : std::string();
    Names expectedEntries{"Korvane.exe"};
    if (*row.reason == '\0') {
        EXPECT_EQ(m_exitCode, Form2::kExitUpdated) << (m_messages.empty() ? "" : m_messages[0]);
        EXPECT_TRUE(readFile(exe()) == m_new);
        EXPECT_EQ(marker("new"), "new");
        // A signed run keeps the release it installed; an unsigned one has none to keep.
        EXPECT_EQ(recordNow, row.keys ? release : installed);
    } else {
        EXPECT_EQ(m_exitCode, Form2::kExitFailed);
        ASSERT_EQ(m_messages.size(), 1U);
        EXPECT_TRUE(m_messages[0].starts_with("Update failed\n\n")) << m_messages[0];
        EXPECT_TRUE(contains(m_messages[0], row.reason)) << m_messages[0];
        EXPECT_TRUE(readFile(exe()) == old()) << "nothing unverified is installed";
        EXPECT_EQ(marker("old"), "old") << "nothing unverified is started";
        EXPECT_EQ(recordNow, installed) << "the record still names the program in place";
    }
    if (row.overHttps) {
        EXPECT_EQ(m_releaseRequests, 0) << "not even the request goes out in the clear";
    }
    if (!recordNow.empty())
        expectedEntries.push_back("Korvane.exe.refitor-release");
    EXPECT_EQ(entriesOf(m_app.path()), expectedEntries) << "nothing is left over";
}

INSTANTIATE_TEST_SUITE_P(Rows, SignedUpdateTest, ::testing::ValuesIn(kSignedRows),
                         [](const ::testing::TestParamInfo<SignedRow> &row) {
                             return std::string(row.param.name);
                         });
