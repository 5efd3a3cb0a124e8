// Timings and memory of the address book on a generated book of 1,000 groups x 100 addresses.
// Every timing is the median of a few runs in this process; ratios are against a baseline
// measured here too, so they hold across machines where absolute times do not.
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QIcon>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QTreeView>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "addressbook/AddressFile.h"
#include "addressbook/AddressModel.h"
#include "addressbook/AddressTree.h"
#include "addressbook/Collation.h"
#include "addressbook/Ordering.h"
#include "platform/AtomicFile.h"
#include "platform/CodePage.h"

extern char** environ;

namespace {

constexpr int kGroups = 1000;
constexpr int kAddressesPerGroup = 100;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Keeps results alive so the compiler cannot drop the work that made them.
volatile std::size_t sink = 0;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// run() times one run itself, so set-up and tear-down stay outside the figure.
double MedianMs(int runs, const std::function<double()>& run) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(run());
    return Median(times);
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_addressbook: %s\n", what.c_str());
    std::exit(1);
}

// ---- the book ----------------------------------------------------------------------------

std::string GenerateBookUtf8() {
    static const char* const groupNames[] = {"Отдел", "Department", "Филиал «Север»", "Branch",
                                             "Бухгалтерия", "Lab", "Склад №"};
    static const char* const surnames[] = {"Иванов", "Петрова", "Смирнов", "Кузнецова", "Попов",
                                           "Соколова", "Лебедев", "Новикова", "Ёлкин", "Жуков",
                                           "Щукина", "Андреев", "О'Брайен", "Мамин-Сибиряк"};
    static const char* const initials[] = {"А.", "Б.", "В.", "Е.", "И.", "М.", "Н.", "С.", "Я."};
    static const char* const latinUsers[] = {"JSMITH", "mbrown", "Anne-Marie", "o.neil", "admin",
                                             "KLEE", "dev_ops", "Zoe"};
    static const char* const machines[] = {"PC", "WS-", "srv-db", "NOTE", "print", "BUH"};
    static const char* const comments[] = {"(каб. 12)", "(room 5)", "(mail)", "(бухгалтерия)",
                                           "(2 этаж)", "(old)"};
    auto pick = [](std::mt19937& rng, const auto& list) {
        return list[rng() % (sizeof list / sizeof list[0])];
    };
    std::mt19937 rng(1251);  // fixed: every run and machine sees the same book
    std::string text;
    for (int g = 0; g < kGroups; ++g) {
        text += "0 0 ";
        text += pick(rng, groupNames);
        text += ' ' + std::to_string(g + 1) + "\r\n";
        for (int a = 0; a < kAddressesPerGroup; ++a) {
            std::string caption;
            int kind = akComputer;
            const unsigned r = rng() % 3;
            if (r == 0) {  // an IPv4 address
                caption = "10." + std::to_string(rng() % 256) + '.' + std::to_string(rng() % 256) +
                          '.' + std::to_string(rng() % 254 + 1);
            } else if (r == 1) {
                kind = akUser;
                caption = std::string(pick(rng, surnames)) + ' ' + pick(rng, initials) +
                          pick(rng, initials);
            } else if (rng() % 10 == 0) {
                kind = akWorkgroup;
                caption = "WORKGROUP" + std::to_string(rng() % 50);
            } else if (rng() % 2) {
                kind = akUser;
                caption = std::string(pick(rng, latinUsers)) + std::to_string(rng() % 100);
            } else {
                caption = std::string(pick(rng, machines)) + std::to_string(rng() % 1000);
            }
            if (rng() % 4 == 0) caption += std::string(" ") + pick(rng, comments);
            text += "1 " + std::to_string(kind) + ' ' + caption + "\r\n";
        }
    }
    return text;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out.flush()) Fail("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::string bytes;
    if (!platform::ReadFileContents(path, bytes)) Fail("cannot read " + path + ": " + std::strerror(errno));
    return bytes;
}

void LoadInto(TAddressTree& tree, const std::string& path) {
    const TAddressParse parse = ParseAddressRecords(ReadFile(path));
    if (parse.malformed) Fail("the generated book does not parse");
    AppendAddressRecords(tree, parse.records);
}

// The baseline and the two loads; each gives the milliseconds of its work alone.
double ReadAndSplit(const std::string& path) {
    const auto t0 = Clock::now();
    const std::string bytes = ReadFile(path);
    std::vector<std::string_view> lines;
    const std::string_view all(bytes);
    for (std::size_t pos = 0; pos < all.size();) {
        std::size_t lf = all.find('\n', pos);
        if (lf == std::string_view::npos) lf = all.size();
        lines.push_back(all.substr(pos, lf - pos));
        pos = lf + 1;
    }
    const double ms = MsSince(t0);
    sink = sink + lines.size();
    return ms;
}

double ParseAndAppend(const std::string& path, TAddressTree& tree) {
    const auto t0 = Clock::now();
    const TAddressParse p = ParseAddressRecords(ReadFile(path));
    AppendAddressRecords(tree, p.records);
    return MsSince(t0);
}

double Load(const std::string& path, TAddressTree& tree) {
    const auto t0 = Clock::now();
    LoadAddressBook(path, tree);
    return MsSince(t0);
}

// "--fresh baseline|parse|load <file>": one run in this new process, whose heap has never held
// a book, as at the program's start; prints the milliseconds.
int FreshRun(const std::string& what, const std::string& path) {
    auto* tree = new TAddressTree;  // left to the exit: freeing it is no part of a start
    double ms = 0;
    if (what == "baseline") ms = ReadAndSplit(path);
    else if (what == "parse") ms = ParseAndAppend(path, *tree);
    else if (what == "load") ms = Load(path, *tree);
    else Fail("unknown fresh run " + what);
    std::printf("%.3f\n", ms);
    return 0;
}

// The median of a few fresh runs, each in a process of its own.
double FreshMedianMs(int runs, const std::string& what, const std::string& path) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        int out[2];
        if (pipe(out) != 0) Fail("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string self = "/proc/self/exe", flag = "--fresh", w = what, p = path;
        char* argv[] = {self.data(), flag.data(), w.data(), p.data(), nullptr};
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) Fail(std::string("cannot start a fresh run: ") + std::strerror(spawned));
        std::string text;
        char buf[64];
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, std::size_t(n));
        close(out[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) Fail("a fresh run failed");
        times.push_back(std::strtod(text.c_str(), nullptr));
    }
    return Median(times);
}

// ---- /proc -------------------------------------------------------------------------------

// A "VmHWM:"-style field of /proc/<pid>/status in KiB; -1 when absent.
long StatusKiB(const std::string& pid, const char* field) {
    std::ifstream in("/proc/" + pid + "/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
    return -1;
}

double MiB(long kib) { return double(kib) / 1024.0; }

// ---- the view ----------------------------------------------------------------------------

// Counts paint events of the viewport; a run waits until one more has been handled.
class TPaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

void WaitForPaint(const TPaintCounter& counter, int seen) {
    QElapsedTimer timer;
    timer.start();
    while (counter.paints <= seen) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (timer.elapsed() > 30000) Fail("the view was never painted");
    }
}

std::vector<QIcon> KindIcons() {
    std::vector<QIcon> icons;
    for (Qt::GlobalColor color : {Qt::darkYellow, Qt::darkBlue, Qt::darkGreen, Qt::darkRed}) {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::transparent);
        QPainter(&pixmap).fillRect(2, 2, 12, 12, color);
        icons.emplace_back(pixmap);
    }
    return icons;
}

// A tree with its model and a shown view over it, as the main window has them.
struct TShownBook {
    TAddressTree tree;
    TAddressModel model{tree};
    QTreeView view;
    TPaintCounter counter;

    TShownBook() {
        model.setKindIcons(KindIcons());
        view.setHeaderHidden(true);
        view.setIndentation(19);
        view.setIconSize(QSize(16, 16));
        view.setUniformRowHeights(true);
        view.resize(320, 700);
        view.setModel(&model);
        view.viewport()->installEventFilter(&counter);
    }
    void repaint() {
        const int seen = counter.paints;
        view.viewport()->update();
        WaitForPaint(counter, seen);
    }
};

// ---- the real program --------------------------------------------------------------------

struct TProgramFigures {
    double hwmMiB = 0, rssMiB = 0, exitMs = 0;
    bool exitedByItself = false;
    int status = -1;
    std::string savedBook;
};

// A copy of the program alone in a folder with the book beside it, on a private runtime and
// configuration folder; measured once loaded, then ended by SIGTERM the way a session ends it.
TProgramFigures RunProgram(const std::string& program, const std::string& folder, const std::string& book) {
    namespace fs = std::filesystem;
    fs::create_directories(folder + "/bin");
    fs::create_directories(folder + "/config");
    fs::create_directories(folder + "/runtime");
    fs::permissions(folder + "/runtime", fs::perms::owner_all);  // the instance lock wants 0700
    const std::string exe = folder + "/bin/Quorvel";
    fs::copy_file(program, exe, fs::copy_options::overwrite_existing);
    fs::permissions(exe, fs::perms::owner_all);
    if (!book.empty()) WriteFile(folder + "/bin/Quorvel.dat", book);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view v(*e);
        bool replaced = false;
        for (const char* name : {"QT_QPA_PLATFORM=", "XDG_RUNTIME_DIR=", "XDG_CONFIG_HOME=", "DISPLAY=",
                                 "WAYLAND_DISPLAY="})
            replaced = replaced || v.starts_with(name);
        if (!replaced) env.emplace_back(v);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("XDG_RUNTIME_DIR=" + folder + "/runtime");
    env.push_back("XDG_CONFIG_HOME=" + folder + "/config");
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = exe;
    char* argv[] = {arg0.data(), nullptr};

    const std::string log = folder + "/program.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) Fail("cannot start " + exe + ": " + std::strerror(spawned));
    const std::string pidText = std::to_string(pid);

    auto failWithLog = [&](const std::string& what) {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        Fail(what + "\n" + text.str());
    };

    // Loaded once the resident size has settled: within 128 KiB over the last second.
    const auto start = Clock::now();
    std::vector<long> samples;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) failWithLog("the program ended by itself");
        samples.push_back(StatusKiB(pidText, "VmRSS:"));
        const double elapsed = MsSince(start);
        if (samples.size() > 10 && elapsed > 2000) {
            const auto last = samples.end() - 11;
            const auto [lo, hi] = std::minmax_element(last, samples.end());
            if (*hi - *lo <= 128) break;
        }
        if (elapsed > 15000) break;  // measure anyway
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    TProgramFigures f;
    f.hwmMiB = MiB(StatusKiB(pidText, "VmHWM:"));
    f.rssMiB = MiB(StatusKiB(pidText, "VmRSS:"));

    kill(pid, SIGTERM);
    const auto term = Clock::now();
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            f.exitedByItself = true;
            f.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (MsSince(term) > 20000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    f.exitMs = MsSince(term);
    if (!f.exitedByItself) failWithLog("the program did not end within 20 s of SIGTERM");
    if (fs::exists(folder + "/bin/Quorvel.dat")) f.savedBook = ReadFile(folder + "/bin/Quorvel.dat");
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc == 4 && std::string_view(argv[1]) == "--fresh") return FreshRun(argv[2], argv[3]);
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string program = argc > 1 ? argv[1] : QUORVEL_PROGRAM;

    const testing_support::TempDir scratch;  // removed with everything in it
    const std::string dir = scratch.path();

    QApplication app(argc, argv);
    const long startKiB = StatusKiB("self", "VmRSS:");

    const std::string book = platform::Utf8ToCp1251(GenerateBookUtf8());
    const std::string bookPath = dir + "/Quorvel.dat";
    WriteFile(bookPath, book);
    std::size_t nodes = 0;
    {
        TAddressTree tree;
        LoadInto(tree, bookPath);
        nodes = tree.size();
        if (FormatAddressBook(tree) != book) Fail("the generated book is not in canonical form");
    }
    std::printf("book: %zu nodes (%d groups x %d addresses), %.2f MiB\n", nodes, kGroups,
                kAddressesPerGroup, double(book.size()) / (1024.0 * 1024.0));

    const double baseline = MedianMs(7, [&] { return ReadAndSplit(bookPath); });
    auto ratio = [baseline](double ms) { return ms / baseline; };
    std::printf("baseline %.1f ms  (read the file, split it into lines)\n", baseline);

    {
        std::vector<double> records, append;
        const double parse = MedianMs(7, [&] {
            TAddressTree tree;
            const auto t0 = Clock::now();
            const TAddressParse p = ParseAddressRecords(ReadFile(bookPath));
            records.push_back(MsSince(t0));
            const auto t1 = Clock::now();
            AppendAddressRecords(tree, p.records);
            append.push_back(MsSince(t1));
            return MsSince(t0);
        });
        std::printf("parse %.1f ms  (baseline %.1f ms, ratio %.1fx; aim within 5x)\n", parse, baseline,
                    ratio(parse));
        std::printf("      of which read+ParseAddressRecords %.1f ms, AppendAddressRecords %.1f ms\n",
                    Median(records), Median(append));
        const double load = MedianMs(7, [&] {
            TAddressTree tree;
            return Load(bookPath, tree);
        });
        std::printf("load %.1f ms  (LoadAddressBook, as the program calls it; baseline %.1f ms, "
                    "ratio %.1fx)\n",
                    load, baseline, ratio(load));
        // At start the heap has never held a book: every page is new, which the runs above,
        // reusing freed memory, do not pay.
        const double freshBaseline = FreshMedianMs(5, "baseline", bookPath);
        const double freshParse = FreshMedianMs(5, "parse", bookPath);
        const double freshLoad = FreshMedianMs(5, "load", bookPath);
        std::printf("parse, fresh process %.1f ms  (baseline fresh %.1f ms, ratio %.1fx)\n", freshParse,
                    freshBaseline, freshParse / freshBaseline);
        std::printf("load, fresh process %.1f ms  (baseline fresh %.1f ms, ratio %.1fx)\n", freshLoad,
                    freshBaseline, freshLoad / freshBaseline);
    }

    {
        TAddressTree tree;
        LoadInto(tree, bookPath);
        const std::string savePath = dir + "/saved.dat";
        const double format = MedianMs(7, [&] {
            const auto t0 = Clock::now();
            const std::string text = FormatAddressBook(tree);
            const double ms = MsSince(t0);
            sink = sink + text.size();
            return ms;
        });
        const double save = MedianMs(7, [&] {
            const auto t0 = Clock::now();
            SaveAddressBook(savePath, tree);
            return MsSince(t0);
        });
        if (ReadFile(savePath) != book) Fail("the saved book differs from the loaded one");
        std::printf("save %.1f ms  (baseline %.1f ms, ratio %.1fx; FormatAddressBook alone %.1f ms, "
                    "the rest is the atomic write with fsync)\n",
                    save, baseline, ratio(save), format);
    }

    // Parsed once; the view timings start from records in memory, as after reading the file.
    const TAddressParse parsed = ParseAddressRecords(book);
    long shownHwmKiB = 0, shownRssKiB = 0;
    {
        std::vector<double> expand;
        constexpr int kRuns = 5;
        int run = 0;
        const double show = MedianMs(kRuns, [&] {
            auto shown = std::make_unique<TShownBook>();
            const auto t0 = Clock::now();
            shown->view.show();
            AppendAddressRecords(shown->tree, parsed.records);
            WaitForPaint(shown->counter, 0);
            const double ms = MsSince(t0);
            const auto t1 = Clock::now();
            shown->view.expandAll();
            shown->repaint();
            expand.push_back(MsSince(t1));
            if (++run == kRuns) {
                shownHwmKiB = StatusKiB("self", "VmHWM:");
                shownRssKiB = StatusKiB("self", "VmRSS:");
            }
            return ms;
        });
        std::printf("show %.1f ms  (append with the view attached, until painted; baseline %.1f ms, "
                    "ratio %.1fx; aim under 500 ms)\n",
                    show, baseline, ratio(show));
        const double expanded = Median(expand);
        std::printf("expand all %.1f ms  (expandAll and one repaint; baseline %.1f ms, ratio %.1fx; "
                    "aim under 100 ms)\n",
                    expanded, baseline, ratio(expanded));
    }
    std::printf("memory (bench process): peak %.1f MiB (VmHWM), %.1f MiB resident with the book "
                "shown and expanded; %.1f MiB before the book\n",
                MiB(shownHwmKiB), MiB(shownRssKiB), MiB(startKiB));

    {
        // QLocale() may be C here; the Russian collator is what users get and what costs.
        const TCaptionCollator collator(QLocale(QLocale::Russian, QLocale::Russia));
        const LocaleRanks ranks = [&collator](const std::vector<std::string_view>& captions) {
            return collator.ranks(captions);
        };
        const double sortTree = MedianMs(3, [&] {
            TAddressTree tree;
            AppendAddressRecords(tree, parsed.records);
            const auto t0 = Clock::now();
            SortAddresses(tree, ranks);
            const double ms = MsSince(t0);
            // An address goes first in each group of this book.
            if (!AddressValue(tree.root(0)->child(0)->caption())) Fail("the tree was not sorted");
            return ms;
        });
        std::printf("sort %.1f ms  (SortAddresses, Russian collation; baseline %.1f ms, ratio %.1fx; "
                    "aim under 1000 ms)\n",
                    sortTree, baseline, ratio(sortTree));
        const double sortShown = MedianMs(3, [&] {
            auto shown = std::make_unique<TShownBook>();
            shown->view.show();
            AppendAddressRecords(shown->tree, parsed.records);
            shown->view.expandAll();
            WaitForPaint(shown->counter, 0);
            const auto t0 = Clock::now();
            SortAddresses(shown->tree, ranks);
            shown->repaint();
            return MsSince(t0);
        });
        std::printf("sort, view attached and expanded %.1f ms  (with one repaint; baseline %.1f ms, "
                    "ratio %.1fx)\n",
                    sortShown, baseline, ratio(sortShown));
    }

    if (!fs::exists(program)) {
        std::printf("program: not found at %s; pass its path as the argument\n", program.c_str());
        return 1;
    }
    const TProgramFigures empty = RunProgram(program, dir + "/empty", "");
    const TProgramFigures full = RunProgram(program, dir + "/full", book);
    std::printf("program with the book: peak %.1f MiB (VmHWM), %.1f MiB resident once loaded "
                "(aim under 60 MiB); with no book: peak %.1f MiB, %.1f MiB resident\n",
                full.hwmMiB, full.rssMiB, empty.hwmMiB, empty.rssMiB);
    std::printf("program exit after SIGTERM: %.0f ms, status %d, book saved %s\n", full.exitMs,
                full.status, full.savedBook == book ? "unchanged" : "DIFFERENT");
    return full.status == 0 && full.savedBook == book ? 0 : 1;
}
