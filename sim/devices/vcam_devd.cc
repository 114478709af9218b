// vcam-devd: the virtual camera's device server, on the host for one run.
//
//   vcam-devd --lenses N --dir DIR [--sys SYSDIR] [--screen PNG] -- COMMAND [ARGS...]
//
// Builds a umockdev testbed in DIR with the lenses /dev/video0.., their
// camera modules on the USB bus (/dev/bus/usb/001/..), the board's own
// drivers (/dev/oled, /dev/gyrotap, loaded as the camera loads them) and a
// control socket DIR/ctl.sock, links DIR/root to the testbed,
// runs COMMAND (the sandbox, which sees DIR at a fixed path) and exits with
// its status. With --screen the panel's last picture is written to PNG.
// The preload library inside the sandbox sends every /sys lookup to the
// testbed, so SYSDIR (the run's own sysfs tree, bound at /sys inside) is
// linked into the testbed's sys folder.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <glib-unix.h>
#include <glib.h>

#include "board_commands.h"
#include "board_server.h"
#include "control_commands.h"
#include "control_server.h"
#include "frame_clock.h"
#include "lens_server.h"
#include "usb_commands.h"
#include "usb_server.h"

namespace {

bool isDir(const std::string& p, bool follow) {
    struct stat st;
    int r = follow ? stat(p.c_str(), &st) : lstat(p.c_str(), &st);
    return r == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// Links every entry of host (the tree bound at `inside`) that the testbed's
// sys folder lacks; merges folders both have.
void linkSysTree(const std::string& host, const std::string& inside, const std::string& testbed) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(host.c_str()), closedir);
    if (!dir) return;
    while (dirent* e = readdir(dir.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string target = testbed + "/" + name;
        if (!exists(target)) {
            if (symlink((inside + "/" + name).c_str(), target.c_str()) != 0)
                std::fprintf(stderr, "vcam-devd: cannot link %s: %s\n", target.c_str(), strerror(errno));
        } else if (isDir(target, false) && isDir(host + "/" + name, true)) {
            linkSysTree(host + "/" + name, inside + "/" + name, target);
        }
    }
}

// The command line.
struct Options {
    int lenses = -1;
    std::string dir, sys, screen;
};

// An option's value taken into the options; false (with its message, if
// any) for one it refuses.
using SetOption = bool (*)(Options& o, const char* value);

bool setLenses(Options& o, const char* value) {
    char* end = nullptr;
    long n = std::strtol(value, &end, 10);
    if (*end != '\0' || n < 0 || n > 16) {
        std::fprintf(stderr, "vcam-devd: lens count must be 0 to 16\n");
        return false;
    }
    o.lenses = int(n);
    return true;
}

bool setDir(Options& o, const char* value) {
    o.dir = value;
    return true;
}

bool setSys(Options& o, const char* value) {
    o.sys = value;
    return true;
}

bool setScreen(Options& o, const char* value) {
    o.screen = value;
    return true;
}

// One row per option: its name, what takes its value, its usage.
struct Option {
    const char* name;
    SetOption set;
    const char* help;
};

const Option kOptions[] = {
    {"--lenses", setLenses, "--lenses N"},
    {"--dir", setDir, "--dir DIR"},
    {"--sys", setSys, "[--sys SYSDIR]"},
    {"--screen", setScreen, "[--screen PNG]"},
};

void usage() {
    std::string line = "usage: vcam-devd";
    for (const Option& o : kOptions) line += std::string(" ") + o.help;
    std::fprintf(stderr, "%s -- COMMAND [ARGS...]\n", line.c_str());
}

// The options before "--"; the index of COMMAND, or -1 (with the usage or
// the option's message said) for a command line it refuses.
int parseOptions(int argc, char** argv, Options& options) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        const Option* option = nullptr;
        for (const Option& o : kOptions)
            if (a == o.name) option = &o;
        if (i + 1 >= argc || !option) {
            usage();
            return -1;
        }
        if (!option->set(options, argv[++i])) return -1;
    }
    if (options.lenses < 0 || options.dir.empty() || i >= argc || !isDir(options.dir, true)) {
        usage();
        return -1;
    }
    return i;
}

// The run's devices: the lenses, the board's drivers and the camera modules
// on the USB bus, in one testbed linked at DIR/root.
struct Devices {
    vcam::RunClock clock;
    std::unique_ptr<vcam::LensServer> lenses;
    std::unique_ptr<vcam::BoardServer> board;
    std::unique_ptr<vcam::UsbServer> usb;
    std::string link;
};

// False, with the reason said, when the devices cannot be served.
bool startDevices(const Options& o, Devices& d) {
    // the testbed goes into DIR; the command gets the caller's TMPDIR back
    const char* old_tmp = std::getenv("TMPDIR");
    std::string saved_tmp = old_tmp ? old_tmp : "";
    setenv("TMPDIR", o.dir.c_str(), 1);
    try {
        d.lenses = std::make_unique<vcam::LensServer>(o.lenses, d.clock);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vcam-devd: %s\n", e.what());
        return false;
    }
    if (old_tmp) {
        setenv("TMPDIR", saved_tmp.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    unsetenv("UMOCKDEV_DIR");

    std::string link = o.dir + "/root";
    std::string root = d.lenses->rootDir();
    std::string base = root.substr(root.rfind('/') + 1);
    unlink(link.c_str());
    if (symlink(base.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "vcam-devd: cannot link %s: %s\n", link.c_str(), strerror(errno));
        return false;
    }
    d.link = link;
    try {
        d.board = std::make_unique<vcam::BoardServer>(d.lenses->testbed());
        // each lens's camera module on the USB bus; its driver holds the lens
        vcam::LensServer* lensServer = d.lenses.get();
        d.usb = std::make_unique<vcam::UsbServer>(d.lenses->testbed(), o.lenses, [lensServer](int lens, bool present) {
            lensServer->setPresent(lens, present);
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vcam-devd: %s\n", e.what());
        return false;
    }
    // after the board's devices: their sysfs entries are the testbed's own
    if (!o.sys.empty()) linkSysTree(o.sys, "/sys", root + "/sys");
    return true;
}

// The run controls of the control socket, one family of commands a row.
class Controls {
public:
    explicit Controls(Devices& d) : commands_(d.lenses->lenses(), d.clock), board_(*d.board), usb_(*d.usb) {}

    std::string execute(const std::string& line) {
        for (const Family& f : kFamilies)
            if (f.handles(line)) return (this->*f.run)(line);
        return commands_.execute(line);
    }

private:
    static bool isHelp(const std::string& line) {
        size_t at = line.find_first_not_of(' ');
        return at != std::string::npos && line.substr(at) == "help";
    }

    std::string board(const std::string& line) { return board_.execute(line); }
    std::string usb(const std::string& line) { return usb_.execute(line); }
    std::string help(const std::string&) {
        std::string h = vcam::ControlCommands::help();
        for (const Family& f : kFamilies)
            if (f.help) h += std::string("\n") + f.help();
        // lines joined by tabs: the texts hold "|" themselves
        for (char& c : h)
            if (c == '\n') c = '\t';
        return "ok " + h;
    }

    // One row per family: the lines it takes, its handler, its help (the
    // lens controls, the rest, come first in the help).
    struct Family {
        bool (*handles)(const std::string& line);
        std::string (Controls::*run)(const std::string& line);
        const char* (*help)();
    };
    static constexpr Family kFamilies[] = {
        {vcam::BoardCommands::handles, &Controls::board, vcam::BoardCommands::help},
        {vcam::UsbCommands::handles, &Controls::usb, vcam::UsbCommands::help},
        {isHelp, &Controls::help, nullptr},
    };

    vcam::ControlCommands commands_;
    vcam::BoardCommands board_;
    vcam::UsbCommands usb_;
};

struct Run {
    GMainLoop* loop = nullptr;
    pid_t child = -1;
    int status = 0;
    bool ended = false;
};

void onChildExit(GPid, gint status, gpointer user) {
    auto* run = static_cast<Run*>(user);
    run->status = status;
    run->ended = true;
    g_main_loop_quit(run->loop);
}

gboolean onTerminate(gpointer user) {
    auto* run = static_cast<Run*>(user);
    if (run->child > 0 && !run->ended) kill(run->child, SIGTERM);
    return G_SOURCE_CONTINUE;
}

// The terminal sends SIGINT to the whole group: the command has it already.
gboolean onInterrupt(gpointer) { return G_SOURCE_CONTINUE; }

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int i = parseOptions(argc, argv, options);
    if (i < 0) return 2;

    Devices devices;
    if (!startDevices(options, devices)) {
        if (!devices.link.empty()) unlink(devices.link.c_str());
        return 2;
    }
    Controls controls(devices);
    std::unique_ptr<vcam::ControlServer> control;
    try {
        control = std::make_unique<vcam::ControlServer>(
            options.dir + "/ctl.sock", [&](const std::string& line) { return controls.execute(line); });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vcam-devd: %s\n", e.what());
        unlink(devices.link.c_str());
        return 2;
    }

    Run run;
    run.loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, onTerminate, &run);
    g_unix_signal_add(SIGHUP, onTerminate, &run);
    g_unix_signal_add(SIGINT, onInterrupt, &run);

    run.child = fork();
    if (run.child < 0) {
        std::perror("vcam-devd: fork");
        return 2;
    }
    if (run.child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "vcam-devd: cannot run %s: %s\n", argv[i], strerror(errno));
        _exit(127);
    }
    g_child_watch_add(run.child, onChildExit, &run);
    g_main_loop_run(run.loop);
    g_main_loop_unref(run.loop);

    control.reset();
    if (!options.screen.empty()) {
        int r = devices.board->writePng(options.screen, 4);
        if (r != 0) std::fprintf(stderr, "vcam-devd: cannot write %s: %s\n", options.screen.c_str(), strerror(-r));
    }
    devices.usb.reset();
    devices.board.reset();
    devices.lenses.reset();
    unlink(devices.link.c_str());
    rmdir(options.dir.c_str());  // the run's folder, when nothing else is left in it

    if (WIFEXITED(run.status)) return WEXITSTATUS(run.status);
    if (WIFSIGNALED(run.status)) return 128 + WTERMSIG(run.status);
    return 1;
}
