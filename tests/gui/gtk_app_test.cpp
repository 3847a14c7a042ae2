// The real program, started as a user starts it, under Xvfb and a private
// session bus. It runs with the fixed settings, so these tests need the
// panel port free. As root they run it in a mount namespace of its own,
// where /usr/local/bin and /opt/homebrew/bin are scratch directories for its
// command copies; otherwise only where neither is writable.
#include <atspi/atspi.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>

#include "gui/fake_watcher.h"
#include "gui/gui_support.h"
#include "platform/files.h"
#include "platform/ports.h"
#include "support/test_support.h"

// Last: Xlib's macros would clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace kestrix::test {
namespace {

namespace fs = std::filesystem;

class RealApp : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0 &&
            (platform::isWritable("/usr/local/bin") || platform::isWritable("/opt/homebrew/bin")))
            GTEST_SKIP() << "needs root: the program would write its command copies into "
                            "/usr/local/bin or /opt/homebrew/bin";
        ASSERT_FALSE(platform::addressInUse(kPanelHost, kPanelPort))
            << "something already listens on 127.0.0.1:" << kPanelPort
            << "; these tests need it free";
        // The tip has been seen, so that nothing modal stands in the way.
        fs::create_directories(dir / "config/io.kestrix.V3NativeShell");
        writeFile(dir / "config/io.kestrix.V3NativeShell/user-defaults.ini",
                  "[defaults]\nkestrix.v3.native.didShowMenuBarTip=true\n");
    }

    void TearDown() override {
        for (pid_t pid : started)
            if (processAlive(pid)) ::kill(pid, SIGKILL);
        killAll(pidsFromFile(dir / "pids"));
    }

    // Starts the program with `arguments` and `extra` in its environment;
    // its standard output and error go to `dir/output`. As root, in a mount
    // namespace of its own with scratch command directories.
    // `fileLimit`: a soft limit on descriptors to start with, 0 for none.
    pid_t start(Variables extra = {}, std::vector<std::string> arguments = {},
                bool blockQuitSignals = false, rlim_t fileLimit = 0) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        extra.insert(extra.begin(), {{"HOME", dir / "home"},
                                     {"XDG_CONFIG_HOME", dir / "config"},
                                     {"XDG_DATA_HOME", dir / "data"},
                                     {"XDG_RUNTIME_DIR", dir.path()},
                                     {"KESTRIX_STUB_PID_FILE", dir / "pids"}});
        auto environment = environmentWith(extra);
        std::vector<char*> args(argv.size() + 1), env(environment.size() + 1);  // null-ended
        std::transform(argv.begin(), argv.end(), args.begin(), [](auto& a) { return a.data(); });
        std::transform(environment.begin(), environment.end(), env.begin(),
                       [](auto& e) { return e.data(); });
        const int output = ::open((dir / "output").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        // Forked by hand, as a launcher that may leave the quit signals blocked.
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::geteuid() == 0 &&
                (::unshare(CLONE_NEWNS) != 0 || !makeMountsPrivate() ||
                 ::mount("scratch", "/usr/local/bin", "tmpfs", 0, nullptr) != 0 ||
                 ::mount("scratch", "/opt", "tmpfs", 0, nullptr) != 0 ||
                 ::mkdir("/opt/homebrew", 0755) != 0 || ::mkdir("/opt/homebrew/bin", 0755) != 0))
                ::_exit(126);
            sigset_t quit;
            sigemptyset(&quit);
            for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&quit, s);
            ::sigprocmask(blockQuitSignals ? SIG_BLOCK : SIG_UNBLOCK, &quit, nullptr);
            if (rlimit files{}; fileLimit && ::getrlimit(RLIMIT_NOFILE, &files) == 0)
                files.rlim_cur = fileLimit, ::setrlimit(RLIMIT_NOFILE, &files);
            ::dup2(output, 1);
            ::dup2(output, 2);
            ::execve(args[0], args.data(), env.data());
            ::_exit(127);
        }
        ::close(output);
        started.push_back(pid);
        return pid;
    }

    // Runs a copy of the application package, with `keeper` as its keeper
    // and, where `engine`, the web engine.
    void usePackageCopy(const std::string& keeper, bool engine) {
        const fs::path contents = dir / "KestrixV3NativeShell.app/Contents";
        fs::create_directories(contents / "MacOS");
        fs::copy_file(KESTRIX_APP_PATH, contents / "MacOS/KestrixV3NativeShell");
        fs::copy_file(keeper, contents / "MacOS/kestrix-v3-keeper");
        fs::create_directory_symlink(KESTRIX_BUNDLE_PATH "/Contents/Resources",
                                     contents / "Resources");
        if (engine)
            fs::create_directory_symlink(KESTRIX_BUNDLE_PATH "/Contents/Frameworks",
                                         contents / "Frameworks");
        program = contents / "MacOS/KestrixV3NativeShell";
    }

    std::string log() const {
        return readFile(dir / "home/Library/Logs/Kestrix-V3-测试版/backend.log");
    }
    // Whether the service's log shows `text` past its first `from` bytes,
    // within a minute.
    bool logShows(const std::string& text, size_t from = 0) const {
        return waitFor([&] { return log().find(text, from) != std::string::npos; }, 60s);
    }

    // SIGTERM to `pid`, and the status it exits with.
    static int quit(pid_t pid) {
        ::kill(pid, SIGTERM);
        return exitStatus(pid);
    }
    // The exit status of `pid` once it has exited (-1 if it does not).
    static int exitStatus(pid_t pid) {
        int status = 0;
        waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 30s);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TempDir dir;
    std::string program = KESTRIX_APP_PATH;
    std::vector<pid_t> started;
};

TEST_F(RealApp, ShowsThePanelPastAnyProxyAndAfterItsWebProcessAndEndsEverythingWhenAsked) {
    // Started with the quit signals blocked, few descriptors, proxies that
    // lead nowhere, and a service whose tree ignores SIGTERM.
    Variables proxies = {{"http_proxy", "http://127.0.0.1:9"},
                         {"HTTPS_PROXY", "127.0.0.1:9"},
                         {"all_proxy", "socks5://127.0.0.1:9"}};
    for (const auto& tree : serviceTree(2, 2, 2)) proxies.push_back(tree);
    const pid_t app = start(proxies, {}, true, 20);
    ASSERT_TRUE(logShows("panel rendered")) << log();
    const auto service = waitForPids(dir / "pids", 9);
    ASSERT_EQ(service.size(), 9u);
    // The service has the limit the program was started with.
    EXPECT_NE(readFile(procPath(service[0], "limits")).find("Max open files            20 "),
              std::string::npos);
    // The page's process killed, the panel comes back.
    for (pid_t pid : liveDescendants(app))
        if (readFile(procPath(pid, "comm")) == "WebKitWebProces\n") ::kill(pid, SIGKILL);
    EXPECT_TRUE(waitFor([&] { return occurrences(log(), "panel rendered") == 2; }, 60s));
    // Everything it started: the keeper with the service's tree and the
    // daemons that left it, and the web engine's helpers.
    const auto everything = liveDescendants(app);
    EXPECT_GE(everything.size(), service.size() + 3);

    EXPECT_EQ(quit(app), 0);
    EXPECT_TRUE(allGone(service));
    EXPECT_TRUE(waitFor([&] { return allGone(everything); }, 10s));

    // The panel's lasting cookie outlives the quit, in a file of the user's alone.
    const std::string store = dir / "data/io.kestrix.V3NativeShell/cookies.sqlite";
    size_t before = log().size();
    const pid_t again = start();
    EXPECT_TRUE(logShows("] cookie kestrix-visit=", before));
    EXPECT_EQ(fs::status(store).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(quit(again), 0);

    // A FIFO where the cookies are kept: they are not, the panel comes all
    // the same, and SIGTERM ends the program.
    fs::remove(store);
    ::mkfifo(store.c_str(), 0600);
    before = log().size();
    const pid_t third = start();
    EXPECT_TRUE(logShows("panel rendered", before));
    EXPECT_EQ(quit(third), 0);
    EXPECT_NE(readFile(dir / "output").find(store + " is not a regular file"), std::string::npos);
}

TEST_F(RealApp, OptionsPrintAndStartNothing) {
    for (const auto& [option, status] :
         {std::pair<std::string, int>{"--version", 0}, {"--help", 0}, {"--bogus", 2}})
        EXPECT_EQ(exitStatus(start({}, {option})), status) << option;
    const std::string output = readFile(dir / "output");
    for (const char* said : {"kestrix-v3-shell 3.1.0\n", "--version", "argument '--bogus'"})
        EXPECT_NE(output.find(said), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(dir / "home/Library")) << "an option started the service";
}

// A value of `type` with random contents: short strings of any byte but
// NUL, any integer, arrays of up to three.
GVariant* randomValue(const GVariantType* type, std::mt19937& random) {
    const auto any = [&](int below) { return static_cast<int>(random() % below); };
    const guint32 number = any(4) ? random() : any(3);
    const char* words[] = {"clicked", "", "vertical", "opened", "children-display", "x"};
    std::string text = words[any(6)];
    for (int n = any(3) ? 0 : any(12); n > 0; --n) text += static_cast<char>(1 + any(255));
    const char kind = *g_variant_type_peek_string(type);
    if (kind == 'i') return g_variant_new_int32(static_cast<gint32>(number));
    if (kind == 'u') return g_variant_new_uint32(number);
    if (kind == 'y') return g_variant_new_byte(static_cast<guchar>(number));
    if (kind == 'o') return g_variant_new_object_path(any(2) ? "/" : "/io/kestrix");
    if (kind == 'v') return g_variant_new_variant(randomValue(G_VARIANT_TYPE_STRING, random));
    if (kind == 's') return g_variant_new_take_string(g_utf8_make_valid(text.c_str(), -1));
    std::vector<GVariant*> items;  // an array, a tuple or a dictionary entry
    for (int n = any(4); kind == 'a' && n > 0; --n)
        items.push_back(randomValue(g_variant_type_element(type), random));
    for (auto* t = kind == 'a' ? nullptr : g_variant_type_first(type); t;
         t = g_variant_type_next(t))
        items.push_back(randomValue(t, random));
    if (kind == 'a')
        return g_variant_new_array(g_variant_type_element(type), items.data(), items.size());
    return kind == '{' ? g_variant_new_dict_entry(items[0], items[1])
                       : g_variant_new_tuple(items.data(), items.size());
}

// Then every method the program exports, called with random values of its
// types, before its menu's 退出 ends it.
TEST_F(RealApp, TheTrayMenusQuitAndASecondStartReachTheFirstAndAnyCallIsHarmless) {
    FakeWatcher watcher;
    ASSERT_TRUE(iterateUntil([&] { return watcher.owned; }, 10s));
    const pid_t app = start(serviceTree(1, 2, 1));
    ASSERT_TRUE(iterateUntil(
        [&] { return occurrences(log(), "panel rendered") && !watcher.registered.empty(); }, 60s))
        << log();
    const std::string item = watcher.registered.front();
    EXPECT_EQ(item, "org.kde.StatusNotifierItem-" + std::to_string(app) + "-1");
    const auto everything = liveDescendants(app);
    EXPECT_EQ(exitStatus(start()), 0);                 // forwarded to the first
    EXPECT_EQ(pidsFromFile(dir / "pids").size(), 4u);  // no second service

    // The exported menu's "退出" row, as a panel would click it.
    int quitId = -1;
    for (const auto& [id, label] : watcher.exportedMenu(item))
        if (label == "退出") quitId = id;
    ASSERT_GE(quitId, 0);

    // Every method of every interface the program exports, as it describes
    // them itself: (name, path, interface, method, input signature).
    std::vector<std::array<std::string, 5>> methods;
    for (const auto& [name, path] :
         {std::pair<std::string, const char*>{item, "/StatusNotifierItem"},
          {item, "/MenuBar"},
          {"io.kestrix.V3NativeShell", "/io/kestrix/V3NativeShell"}}) {
        g_autoptr(GVariant) xml =
            watcher.call(name, path, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr);
        ASSERT_TRUE(xml) << path;
        const gchar* text = nullptr;
        g_variant_get(xml, "(&s)", &text);
        g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(text, nullptr);
        for (GDBusInterfaceInfo** i = node->interfaces; *i; ++i)
            for (GDBusMethodInfo** m = (*i)->methods; *m; ++m) {
                std::string signature = "(";
                for (GDBusArgInfo** a = (*m)->in_args; a && *a; ++a) signature += (*a)->signature;
                methods.push_back({name, path, (*i)->name, (*m)->name, signature + ")"});
            }
    }
    EXPECT_GE(methods.size(), 20u);
    std::mt19937 random(20261207);
    for (int i = 0; i < 3000; ++i) {
        const auto& [name, path, interface, method, signature] = methods[random() % methods.size()];
        g_autoptr(GVariant) parameters =
            g_variant_ref_sink(randomValue(G_VARIANT_TYPE(signature.c_str()), random));
        // What a click on 退出 does is tested elsewhere: the program ends.
        int32_t id = -1;
        if (method == "Event") g_variant_get_child(parameters, 0, "i", &id);
        if (id != quitId)
            watcher.send(name, path.c_str(), interface.c_str(), method.c_str(), parameters);
    }
    EXPECT_TRUE(processAlive(app));

    watcher.clickExported(item, quitId);
    EXPECT_EQ(exitStatus(app), 0);
    EXPECT_FALSE(watcher.nameHasOwner(item));
    EXPECT_TRUE(waitFor([&] { return allGone(everything); }, 10s));
}

TEST_F(RealApp, WithoutItsWebEngineItSaysSoBeforeAnythingStarts) {
    usePackageCopy(KESTRIX_KEEPER_PATH, false);
    const pid_t app = start();
    ASSERT_TRUE(waitFor(
        [&] {
            return readFile(dir / "output").find("cannot load the web engine") != std::string::npos;
        },
        30s));
    // Said before the service is started: nothing is.
    EXPECT_FALSE(fs::exists(dir / "home/Library"));
    EXPECT_EQ(quit(app), 0);
    EXPECT_TRUE(pidsFromFile(dir / "pids").empty());
}

TEST_F(RealApp, AKeeperThatNeverAnswersNeitherHoldsUpAQuitNorOutlivesTheProgram) {
    usePackageCopy(KESTRIX_STALLED_KEEPER_PATH, true);
    const pid_t app = start();
    pid_t keeper = 0;
    ASSERT_TRUE(waitFor(
        [&] {
            for (pid_t pid : liveDescendants(app))
                if (platform::processInfo(pid)->state == 'T') keeper = pid;
            return keeper != 0;
        },
        30s));
    // The launch is waiting for the keeper's first word (for 6 s at most).
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(quit(app), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 4s);
    EXPECT_FALSE(processAlive(keeper));
}

TEST_F(RealApp, ADesktopServiceThatNeverAnswersHoldsNothingUp) {
    // On a session bus of the test's own, the portal and the accessibility
    // bus owned by a connection that drops every call: each would hold the
    // window and the panel back 25 s.
    const std::string bus = "unix:path=" + dir / "bus";
    auto daemon =
        startCommand({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + bus});
    ASSERT_TRUE(daemon && waitFor([&] { return fs::exists(dir / "bus"); }, 10s));
    g_autoptr(GDBusConnection) silent = g_dbus_connection_new_for_address_sync(
        bus.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_TRUE(silent);
    g_dbus_connection_add_filter(
        silent,
        [](GDBusConnection*, GDBusMessage* message, gboolean in, void*) -> GDBusMessage* {
            if (!in || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
                return message;
            g_object_unref(message);
            return nullptr;
        },
        nullptr, nullptr);
    for (const char* name : {"org.freedesktop.portal.Desktop", "org.a11y.Bus"})
        g_variant_unref(g_dbus_connection_call_sync(
            silent, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", name, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
            nullptr, nullptr));
    const auto started = std::chrono::steady_clock::now();
    const pid_t app = start({{"DBUS_SESSION_BUS_ADDRESS", bus}});
    ASSERT_TRUE(logShows("panel rendered"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    for (const char* said : {"the accessibility bus (org.a11y.Bus) does not answer",
                             "the desktop portal (org.freedesktop.portal.Desktop) does not answer"})
        EXPECT_NE(readFile(dir / "output").find(said), std::string::npos) << said;
    EXPECT_EQ(quit(app), 0);
}

TEST_F(RealApp, LosingTheDisplayServerLeavesNothingOfTheService) {
    // An X server, then a Wayland compositor with window activation, of
    // this test's own (sway refuses to run as root: as nobody, then); on
    // Wayland the toolkit ends the process at once, with no handler of ours.
    FakeWatcher bus;
    for (const std::string server : {"x11", "wayland"}) {
        SCOPED_TRACE(server);
        int display = 90;
        while (fs::exists("/tmp/.X11-unix/X" + std::to_string(display))) ++display;
        const TempDir runtime;
        const bool root = ::geteuid() == 0;
        ASSERT_EQ(::chown(runtime.path().c_str(), root ? 65534 : ::geteuid(), -1), 0);
        const std::string name =
            server == "x11" ? ":" + std::to_string(display) : runtime / "wayland-1";
        std::vector<std::string> command = {"/usr/bin/sway", "-c", "/dev/null"};
        if (server == "x11")
            command = {"/usr/bin/Xvfb", name, "-nolisten", "tcp", "-screen", "0", "1366x768x24"};
        else if (root)
            command = asNobody(command);
        const auto displayServer =
            startCommand(command,
                         environmentWith({{"XDG_RUNTIME_DIR", runtime.path()},
                                          {"WLR_BACKENDS", "headless"},
                                          {"WLR_RENDERER", "pixman"},
                                          {"WLR_LIBINPUT_NO_DEVICES", "1"},
                                          {"WAYLAND_DISPLAY", ""}}),
                         "/dev/null");
        ASSERT_TRUE(displayServer);
        const std::string socket =
            server == "x11" ? "/tmp/.X11-unix/X" + std::to_string(display) : name;
        ASSERT_TRUE(waitFor([&] { return fs::exists(socket); }, 20s));

        // On X11, a window manager's word that a panel takes the top 40 px
        // (it places no window: only the program keeps its own in the rest).
        std::unique_ptr<Display, int (*)(Display*)> x11(
            server == "x11" ? XOpenDisplay(name.c_str()) : nullptr, XCloseDisplay);
        ASSERT_TRUE(server != "x11" || x11);
        const auto hint = [&](const char* property, Atom type, std::vector<long> values) {
            XChangeProperty(x11.get(), DefaultRootWindow(x11.get()),
                            XInternAtom(x11.get(), property, False), type, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(values.data()), values.size());
        };
        if (x11) {
            hint("_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {long(DefaultRootWindow(x11.get()))});
            hint("_NET_SUPPORTED", XA_ATOM, {long(XInternAtom(x11.get(), "_NET_WORKAREA", False))});
            hint("_NET_WORKAREA", XA_CARDINAL, {0, 40, 1366, 728});
            XSync(x11.get(), False);
        }
        Variables variables = serviceTree(1, 2, 2);
        variables.insert(variables.end(), {{"DISPLAY", server == "x11" ? name : ""},
                                           {"WAYLAND_DISPLAY", name},
                                           {"GDK_BACKEND", server}});
        const pid_t app = start(variables);
        ASSERT_TRUE(logShows("panel rendered")) << log();
        const auto service = waitForPids(dir / "pids", 5);
        ASSERT_EQ(service.size(), 5u);
        if (server == "x11") {
            // A 1366 x 768 screen less the panel: the window is capped to
            // what is left, below the panel.
            FILE* info =
                ::popen(("LC_ALL=C.UTF-8 xwininfo -display " + name + " -root -tree").c_str(), "r");
            std::string tree(1 << 16, '\0');
            tree.resize(std::fread(tree.data(), 1, tree.size(), info));
            ::pclose(info);
            std::smatch size;
            ASSERT_TRUE(std::regex_search(
                tree, size, std::regex(R"(本机授权版"[^\n]*\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+))")))
                << tree;
            EXPECT_EQ(size.str(1) + "x" + size.str(2), "1200x728");
            EXPECT_EQ(size.str(4), "40");
        }
        x11.reset();  // before its server goes

        // The display server goes while the program waits on it, presenting
        // its window (Wayland: the toolkit's own activation token; X11: the
        // server's time).
        displayServer->signal(SIGSTOP);
        bus.send("org.kde.StatusNotifierItem-" + std::to_string(app) + "-1", "/StatusNotifierItem",
                 "org.kde.StatusNotifierItem", "Activate", g_variant_new("(ii)", 0, 0));
        displayServer->signal(SIGKILL);
        const int status = exitStatus(app);
        const auto ended = std::chrono::steady_clock::now();
        if (server == "x11") {
            EXPECT_EQ(status, 0);
        }
        // Within the grace and a second of the program's end.
        EXPECT_TRUE(waitFor([&] { return allGone(service); }, 10s));
        EXPECT_LT(std::chrono::steady_clock::now() - ended, 4s);
        fs::remove(dir / "pids");
        fs::remove(dir / "home/Library/Logs/Kestrix-V3-测试版/backend.log");
    }
}

// What a screen reader follows, read from the accessibility bus as one
// does: the program's focus events, in order, and its controls, pressed
// through their actions.
class ScreenReaderView {
public:
    using Ref = std::shared_ptr<AtspiAccessible>;
    struct Focus {
        AtspiRole role = ATSPI_ROLE_INVALID;
        // Its index in its parent (-1 is what readers take for a dead
        // object) and whether anything was in it (a document told of before
        // its page's process is there is passed over).
        int index = -1;
        bool filled = false;
        Ref source;
        std::string name() const { return nameOf(source); }  // now
    };

    ScreenReaderView() {
        atspi_init();
        listener_ = atspi_event_listener_new(
            [](AtspiEvent* event, void* self) {
                Ref at = own(ATSPI_ACCESSIBLE(g_object_ref(event->source)));
                atspi_accessible_clear_cache(at.get());
                if (event->detail1 == 1 &&
                    nameOf(own(atspi_accessible_get_application(at.get(), nullptr))) == kApp)
                    static_cast<ScreenReaderView*>(self)->focuses.push_back(
                        {role(at), atspi_accessible_get_index_in_parent(at.get(), nullptr),
                         !childrenOf(at).empty(), at});
                g_boxed_free(ATSPI_TYPE_EVENT, event);
            },
            this, nullptr);
        atspi_event_listener_register(listener_, kFocused, nullptr);
    }
    ~ScreenReaderView() {
        atspi_event_listener_deregister(listener_, kFocused, nullptr);
        g_object_unref(listener_);
        atspi_exit();
    }
    Focus last() const { return focuses.empty() ? Focus{} : focuses.back(); }

    // Presses the push button `name` of a dialog or, where `inPage`, of the
    // page, focused first (its press does not answer while the page waits
    // on the dialog it opens). The window is not looked into before it is
    // asked for: looking could mend what a reader's first look finds.
    bool press(const std::string& name, bool inPage = false) {
        return iterateUntil([&] {
            for (const Ref& app : childrenOf(own(atspi_get_desktop(0))))
                for (const Ref& window : nameOf(app) == kApp ? childrenOf(app) : std::vector<Ref>{})
                    if (int budget = 2000; inPage == (role(window) == ATSPI_ROLE_FRAME))
                        if (Ref control = button(window, name, budget)) {
                            AtspiAccessible* at = control.get();
                            if (inPage && !atspi_component_grab_focus(ATSPI_COMPONENT(at), nullptr))
                                return false;
                            return atspi_action_do_action(ATSPI_ACTION(at), 0, nullptr) || inPage;
                        }
            return false;
        });
    }

    std::vector<Focus> focuses;

private:
    static constexpr const char* kApp = "io.kestrix.V3NativeShell";
    static constexpr const char* kFocused = "object:state-changed:focused";
    static Ref own(AtspiAccessible* a) {
        return {a, [](AtspiAccessible* a) { a ? g_object_unref(a) : void(); }};
    }
    static AtspiRole role(const Ref& a) { return atspi_accessible_get_role(a.get(), nullptr); }
    static std::vector<Ref> childrenOf(const Ref& parent) {
        std::vector<Ref> all;
        for (int i = 0; parent && i < atspi_accessible_get_child_count(parent.get(), nullptr); ++i)
            if (Ref child = own(atspi_accessible_get_child_at_index(parent.get(), i, nullptr)))
                all.push_back(child);
        return all;
    }
    // As a reader knows it: told of every change.
    static std::string nameOf(const Ref& accessible) {
        if (!accessible) return "";
        atspi_accessible_clear_cache(accessible.get());
        g_autofree gchar* name = atspi_accessible_get_name(accessible.get(), nullptr);
        return name ? name : "";
    }
    static Ref button(const Ref& at, const std::string& name, int& budget) {
        if (--budget < 0) return nullptr;
        if (role(at) == ATSPI_ROLE_PUSH_BUTTON && nameOf(at) == name) return at;
        for (const Ref& child : childrenOf(at))
            if (Ref found = button(child, name, budget)) return found;
        return nullptr;
    }

    AtspiEventListener* listener_ = nullptr;
};

TEST_F(RealApp, AfterTheTipEachDialogAndARestartAScreenReaderIsToldWhereTheFocusIsInThePage) {
    // A window manager gives the windows the focus, as on a desktop.
    if (!fs::exists("/usr/bin/openbox")) GTEST_SKIP() << "needs openbox";
    const auto windowManager =
        startCommand({"/usr/bin/openbox"}, platform::currentEnvironment(), "/dev/null");
    ASSERT_TRUE(windowManager);
    ScreenReaderView reader;
    // The page's document, a live object of the window, named as the panel
    // (a change of the name of the focus is read out).
    const auto inThePanel = [&] {
        const auto focus = reader.last();
        return focus.role == ATSPI_ROLE_DOCUMENT_WEB && focus.index >= 0 && focus.filled &&
               focus.name() == "Kestrix V3.1 控制面板";
    };
    const auto panels = [&] { return occurrences(log(), "panel rendered"); };
    const pid_t app = start();
    ASSERT_TRUE(waitFor([&] { return panels() == 1; }, 60s));
    EXPECT_TRUE(iterateUntil(inThePanel)) << reader.last().name() << " " << reader.last().index;

    // A control of the page opens a confirm(); once it is answered, the
    // control is the focus again, told of last.
    ASSERT_TRUE(reader.press("confirm()", true));
    ASSERT_TRUE(reader.press(text::kOK));
    EXPECT_TRUE(iterateUntil([&] {
        return reader.last().role == ATSPI_ROLE_PUSH_BUTTON && reader.last().name() == "confirm()";
    })) << reader.last().name();

    // The service dies; after the restart, the new panel's document.
    const auto pids = pidsFromFile(dir / "pids");
    ASSERT_FALSE(pids.empty());
    ::kill(pids.front(), SIGKILL);
    reader.focuses.clear();
    ASSERT_TRUE(reader.press(text::kRestart));
    ASSERT_TRUE(waitFor([&] { return panels() == 2; }, 60s));
    EXPECT_TRUE(iterateUntil(inThePanel)) << reader.last().name() << " " << reader.last().index;
    ASSERT_EQ(quit(app), 0);

    // The first run's tip, answered.
    fs::remove(dir / "config/io.kestrix.V3NativeShell/user-defaults.ini");
    start();
    ASSERT_TRUE(waitFor([&] { return panels() == 3; }, 60s));
    reader.focuses.clear();
    ASSERT_TRUE(reader.press(text::kGotIt));
    EXPECT_TRUE(iterateUntil(inThePanel)) << reader.last().name() << " " << reader.last().index;
}

TEST_F(RealApp, UnderACompositorThatDrawsTheTitleBarTheWholeFrameIsOnScreenCentred) {
    // KWin, headless, at two sizes; its scripting says where the window's
    // frame is, title bar included, and closes it (a script's object is
    // /Scripting/ScriptN in KWin 6, /N in KWin 5). (A copy of it: the file
    // capability of the one installed cannot be raised in every sandbox.)
    if (!fs::exists("/usr/bin/kwin_wayland")) GTEST_SKIP() << "needs kwin_wayland (kwin-wayland)";
    fs::copy_file("/usr/bin/kwin_wayland", dir / "kwin_wayland");
    int scripts = 0;
    // Runs `action` on our window (`w`, its frame `f`); what KWin printed.
    const auto run = [&](const std::string& action) {
        const std::string script = dir / ("s" + std::to_string(++scripts) + ".js");
        writeFile(script,
                  "var all = workspace.windowList ? workspace.windowList() : "
                  "workspace.clientList(); for (var i = 0; i < all.length; ++i) { var w = "
                  "all[i], f = w.frameGeometry; if (w.caption.indexOf('V3.1') >= 0) { " +
                      action + "; } }");
        const size_t before = readFile(dir / "kwin.log").size();
        std::system(("id=$(gdbus call --session --dest org.kde.KWin --object-path /Scripting "
                     "--method org.kde.kwin.Scripting.loadScript " +
                     script + " s" + std::to_string(scripts) +
                     " | tr -dc 0-9) && for at in /Scripting/Script$id "
                     "/$id; do gdbus call --session --dest org.kde.KWin --object-path $at --method "
                     "org.kde.kwin.Script.run 2> /dev/null && break; done > /dev/null")
                        .c_str());
        waitFor(
            [&] { return readFile(dir / "kwin.log").find("FRAME", before) != std::string::npos; },
            5s);
        return readFile(dir / "kwin.log").substr(before);
    };
    for (const auto& [width, height] : {std::pair{1280, 800}, {1366, 768}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const TempDir runtime;
        writeFile(dir / "kwin.log", "");
        const auto kwin = startCommand(
            {dir / "kwin_wayland", "--virtual", "--width", std::to_string(width), "--height",
             std::to_string(height), "--socket", "kwin", "--no-lockscreen"},
            environmentWith({{"XDG_RUNTIME_DIR", runtime.path()}}), dir / "kwin.log");
        ASSERT_TRUE(kwin && waitFor(
                                [&] {
                                    return std::system(
                                               "gdbus introspect --session --dest org.kde.KWin "
                                               "--object-path /Scripting "
                                               "> /dev/null 2>&1") == 0;
                                },
                                30s));
        const Variables wayland = {
            {"WAYLAND_DISPLAY", runtime / "kwin"}, {"GDK_BACKEND", "wayland"}, {"DISPLAY", ""}};
        const size_t before = log().size();
        const pid_t app = start(wayland);
        ASSERT_TRUE(logShows("panel rendered", before));
        // At the start, then closed (hidden) and brought back by a second start.
        for (const bool again : {false, true}) {
            if (again) {
                run("w.closeWindow()");
                EXPECT_EQ(exitStatus(start(wayland)), 0);
            }
            const std::string said =
                run("print('FRAME ' + [f.x, f.y, f.width, f.height].join(' '))");
            double x = 0, y = 0, w = 0, h = 0;
            ASSERT_EQ(std::sscanf(said.c_str() + std::min(said.find("FRAME"), said.size()),
                                  "FRAME %lf %lf %lf %lf", &x, &y, &w, &h),
                      4)
                << said;
            EXPECT_TRUE(x >= 0 && y >= 0 && x + w <= width && y + h <= height) << said;
            EXPECT_LE(std::abs(2 * x + w - width), 2) << said;
            EXPECT_LE(std::abs(2 * y + h - height), 2) << said;
        }
        EXPECT_EQ(quit(app), 0);
        kwin->signal(SIGTERM);
        kwin->waitUntilExit();
    }
}

}  // namespace
}  // namespace kestrix::test
