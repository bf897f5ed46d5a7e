// A big photo through the main window, as a user takes it: the real TForm1
// handlers driven offscreen on a 6000 x 4000 24-bit BMP (72 MB), each step
// timed until its handler has returned and the window's pending paints are
// done, side by side with the reference tools on the same files:
//   "Open File Gambar" + "Kompres"            against  cjpeg -quality 90
//   "Open File kompres" + "Dekompres"         against  djpeg -bmp
// First as a user meets them: every round starts this program afresh (page
// cache warm, process cold) for each half, alternating with the reference
// tool, and the median and worst ratios of the rounds are shown, with the
// peak resident memory after each command (against the BMP's size + the
// JPEG's size + 64 MB). Then, as a second line, the same in one process
// that is warmed up first. Also: a repaint of both panes showing
// 24-megapixel pictures (against 5 ms), and the picture dialogs' preview of
// the photo (against 100 ms).
//
//   bench_windows [rounds]      (7 fresh-process rounds by default, at least
//                                7; the warm process runs 4)
//   bench_windows --photo FILE  (writes the photo only)
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../support/bench_support.h"
#include "ui/display_image.h"
#include "ui/formats.h"
#include "ui/scripted_user.h"
#include "ui/unattended.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr double kTimeTarget = 1.0;
constexpr int64_t kMemorySlack = int64_t(64) << 20;
constexpr double kRepaintTargetMs = 5.0;
constexpr int kRepaints = 50;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuNow() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A field of /proc/self/status in bytes ("VmHWM", "VmRSS").
int64_t StatusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0) return std::atoll(line.c_str() + key.size()) * 1024;
    return -1;
}

// Starts a new peak: the high-water mark of resident memory drops to what is
// resident now. False where the system does not allow it.
bool ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

// Lets the window handle what is pending, its paints included.
void Settle() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

struct TStep {
    double Seconds = 0;
    double CpuSeconds = 0;
};

TStep Timed(const std::function<void()>& step) {
    const double start = Now(), cpu = CpuNow();
    step();
    Settle();
    return {Now() - start, CpuNow() - cpu};
}

std::string LoadAverage() {
    std::ifstream load("/proc/loadavg");
    std::string a, b, c;
    load >> a >> b >> c;
    return a + " " + b + " " + c;
}

double Megabytes(int64_t bytes) { return double(bytes) / (1 << 20); }

double Best(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Worst(const std::vector<double>& values) { return *std::max_element(values.begin(), values.end()); }

// --- every round in a fresh process ------------------------------------------

constexpr const char* kResultFile = "half-result.txt";

// One half of a round in this fresh process, in the current folder, which
// holds photo.bmp: "pack" opens it and gives "Kompres" (then saves
// photo.234 and keeps a copy of the JPEG for djpeg), "unpack" opens
// photo.234 and gives "Dekompres". Writes the two steps' seconds and cpu
// seconds and the peak resident memory after them to kResultFile.
int RunHalf(const std::string& half) {
    const std::string folder = QDir::currentPath().toStdString() + "/";
    ReadLocaleSeparators();
    TScriptedUser answers;
    auto windows = std::make_unique<TUnattendedWindows>(answers);
    TForm1* const form1 = windows->Main.get();
    Settle();
    const bool pack = half == "pack";
    TStep first, second;
    if (pack) {
        answers.Answer(folder + "photo.bmp");
        first = Timed([&] { form1->OpenFileGambar1->trigger(); });
        second = Timed([&] { form1->proses->click(); });
    } else {
        answers.Answer(folder + "photo.234");
        first = Timed([&] { form1->OpenFilekompres1->trigger(); });
        second = Timed([&] { form1->dekompres->click(); });
    }
    const int64_t peak = StatusBytes("VmHWM");
    bool ok = answers.Messages.isEmpty() && std::filesystem::exists(pack ? "temp.jpeg" : "temp.bmp");
    if (ok && pack) {
        answers.Answer(folder + "photo");
        form1->SavefileKompres2->trigger();
        Settle();
        std::filesystem::copy_file("temp.jpeg", folder + "ref-in.jpeg",
                                   std::filesystem::copy_options::overwrite_existing);
        ok = answers.Messages.isEmpty();
    }
    for (const QString& message : answers.Messages) std::fprintf(stderr, "%s\n", qPrintable(message));
    windows.reset();
    std::ofstream(kResultFile) << ok << ' ' << first.Seconds << ' ' << second.Seconds << ' ' << first.CpuSeconds
                               << ' ' << second.CpuSeconds << ' ' << peak << '\n';
    return ok ? 0 : 1;
}

struct THalf {
    bool Ok = false;
    TStep First, Second;
    int64_t Peak = 0;
    double Seconds() const { return First.Seconds + Second.Seconds; }
    double CpuSeconds() const { return First.CpuSeconds + Second.CpuSeconds; }
};

THalf FreshHalf(const std::string& self, const char* half) {
    std::filesystem::remove(kResultFile);
    THalf result;
    if (!benchsupport::RunProgram({self, "--half", half}).ok) return result;
    std::ifstream in(kResultFile);
    in >> result.Ok >> result.First.Seconds >> result.Second.Seconds >> result.First.CpuSeconds >>
        result.Second.CpuSeconds >> result.Peak;
    result.Ok = result.Ok && bool(in);
    return result;
}

// Rounds of fresh processes, each half alternating with its reference tool.
bool FreshRounds(const std::string& folder, int rounds, int64_t bmpSize) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string photo = folder + "photo.bmp";
    std::vector<double> pack, cjpeg, unpack, djpeg, cpuPack, cpuCjpeg, cpuUnpack, cpuDjpeg;
    int64_t peakPack = 0, peakUnpack = 0;
    for (int round = 0; round < rounds; ++round) {
        const THalf ours = FreshHalf(self, "pack");
        const auto reference = benchsupport::RunProgram({"cjpeg", "-quality", "90", "-outfile", folder + "ref.jpg", photo});
        const THalf back = ours.Ok ? FreshHalf(self, "unpack") : THalf{};
        const auto referenceBack =
            benchsupport::RunProgram({"djpeg", "-bmp", "-outfile", folder + "ref.bmp", folder + "ref-in.jpeg"});
        if (!ours.Ok || !back.Ok || !reference.ok || !referenceBack.ok) {
            std::fprintf(stderr, "fresh round %d failed (pack %d, unpack %d, cjpeg %d, djpeg %d)\n", round + 1,
                         ours.Ok, back.Ok, reference.ok, referenceBack.ok);
            return false;
        }
        std::printf("fresh round %d: open %.0f ms + Kompres %.0f ms = %.0f ms (cpu %.0f), cjpeg %.0f ms (cpu %.0f) "
                    "| open .234 %.1f ms + Dekompres %.0f ms = %.0f ms (cpu %.0f), djpeg %.0f ms (cpu %.0f)\n",
                    round + 1, ours.First.Seconds * 1000, ours.Second.Seconds * 1000, ours.Seconds() * 1000,
                    ours.CpuSeconds() * 1000, reference.seconds * 1000, reference.cpuSeconds * 1000,
                    back.First.Seconds * 1000, back.Second.Seconds * 1000, back.Seconds() * 1000,
                    back.CpuSeconds() * 1000, referenceBack.seconds * 1000, referenceBack.cpuSeconds * 1000);
        pack.push_back(ours.Seconds());
        cpuPack.push_back(ours.CpuSeconds());
        cjpeg.push_back(reference.seconds);
        cpuCjpeg.push_back(reference.cpuSeconds);
        unpack.push_back(back.Seconds());
        cpuUnpack.push_back(back.CpuSeconds());
        djpeg.push_back(referenceBack.seconds);
        cpuDjpeg.push_back(referenceBack.cpuSeconds);
        peakPack = std::max(peakPack, ours.Peak);
        peakUnpack = std::max(peakUnpack, back.Peak);
    }
    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    const double packMedian = Median(pack) / Median(cjpeg), packWorst = Worst(pack) / Worst(cjpeg);
    const double unpackMedian = Median(unpack) / Median(djpeg), unpackWorst = Worst(unpack) / Worst(djpeg);
    const int64_t jpegSize = int64_t(std::filesystem::file_size(folder + "ref-in.jpeg"));
    const int64_t limit = bmpSize + jpegSize + kMemorySlack;
    std::printf("\nfresh process, %d rounds (median and worst of each):\n", rounds);
    std::printf("open + Kompres        median %5.0f ms, worst %5.0f ms; cjpeg -quality 90 median %5.0f ms, worst "
                "%5.0f ms; ratio median %.2f (target <= 1.0: %s), worst %.2f (target <= 1.2: %s), cpu ratio %.2f\n",
                Median(pack) * 1000, Worst(pack) * 1000, Median(cjpeg) * 1000, Worst(cjpeg) * 1000, packMedian,
                verdict(packMedian <= 1.0), packWorst, verdict(packWorst <= 1.2), Median(cpuPack) / Median(cpuCjpeg));
    std::printf("open .234 + Dekompres median %5.0f ms, worst %5.0f ms; djpeg -bmp        median %5.0f ms, worst "
                "%5.0f ms; ratio median %.2f (target <= 0.8: %s), worst %.2f (target <= 1.0: %s), cpu ratio %.2f\n",
                Median(unpack) * 1000, Worst(unpack) * 1000, Median(djpeg) * 1000, Worst(djpeg) * 1000,
                unpackMedian, verdict(unpackMedian <= 0.8), unpackWorst, verdict(unpackWorst <= 1.0),
                Median(cpuUnpack) / Median(cpuDjpeg));
    std::printf("peak memory of a fresh process: open + Kompres %.1f MB, open .234 + Dekompres %.1f MB, limit %.1f MB "
                "(BMP + JPEG + 64 MB): %s\n\n",
                Megabytes(peakPack), Megabytes(peakUnpack), Megabytes(limit),
                verdict(peakPack <= limit && peakUnpack <= limit));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--half") return RunHalf(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "--photo") {
        // Only the photo, for measuring the program by hand.
        benchsupport::WritePhotoBmp(argv[2], kWidth, kHeight);
        return 0;
    }
    const int freshRounds = std::max(7, argc > 1 ? std::atoi(argv[1]) : 7);
    const int rounds = 4;

    QTemporaryDir work(QDir::temp().filePath(QStringLiteral("vg-bench-windows-XXXXXX")));
    if (!work.isValid() || !QDir::setCurrent(work.path())) return 1;
    const std::string folder = work.path().toStdString() + "/";
    const std::string photo = folder + "photo.bmp";
    std::printf("load at start: %s; generating a %d x %d photo ...\n", LoadAverage().c_str(), kWidth, kHeight);
    benchsupport::WritePhotoBmp(photo, kWidth, kHeight);
    const int64_t bmpSize = int64_t(std::filesystem::file_size(photo));

    // Memory the system hands out for the first time since it started can
    // cost far more than memory it had handed out before (on a virtual
    // machine especially): touch some once, so that every round, ours and
    // the reference tools', gets memory that has been in use.
    {
        std::vector<TPixelBuffer> warm;
        for (int i = 0; i < 8; ++i) {
            warm.emplace_back(size_t(64) << 20);
            for (size_t at = 0; at < warm.back().size(); at += 4096) warm.back()[at] = 1;
        }
    }

    if (!FreshRounds(folder, freshRounds, bmpSize)) return 1;
    std::printf("in one warmed-up process:\n");

    ReadLocaleSeparators();
    TScriptedUser answers;
    auto windows = std::make_unique<TUnattendedWindows>(answers);
    TForm1* const form1 = windows->Main.get();
    Settle();

    const bool peakResets = ResetPeak();
    const int64_t baseline = StatusBytes("VmRSS");
    std::vector<double> oursPack, refPack, oursUnpack, refUnpack, cpuPack, cpuRefPack, cpuUnpack, cpuRefUnpack;
    std::vector<double> repaintMs;
    double openMs = 0, kompresMs = 0, openKompresMs = 0, dekompresMs = 0;
    // The first open comes to an empty window; later ones replace a picture
    // that the window keeps showing until the new one has loaded.
    int64_t firstPeakPack = 0, laterPeakPack = 0, peakUnpack = 0, jpegSize = 0;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        // "Open File Gambar" and "Kompres".
        ResetPeak();
        answers.Answer(photo);
        // Each step's time includes the panes' new display images.
        const int madeBefore = form1->Image1->DisplayImagesMade() + form1->Image2->DisplayImagesMade();
        const TStep open = Timed([&] { form1->OpenFileGambar1->trigger(); });
        const TStep kompres = Timed([&] { form1->proses->click(); });
        const int madeInPack = form1->Image1->DisplayImagesMade() + form1->Image2->DisplayImagesMade() - madeBefore;
        const int64_t peak = StatusBytes("VmHWM");
        if (round == 0)
            firstPeakPack = peak;
        else
            laterPeakPack = std::max(laterPeakPack, peak);
        jpegSize = int64_t(std::filesystem::file_size("temp.jpeg"));
        const auto cjpeg = benchsupport::RunProgram({"cjpeg", "-quality", "90", "-outfile", folder + "ref.jpg", photo});

        // Both panes show 24-megapixel pictures now.
        const int madeBeforeRepaints = form1->Image1->DisplayImagesMade() + form1->Image2->DisplayImagesMade();
        for (int i = 0; i < kRepaints; ++i) {
            const double start = Now();
            form1->Image1->repaint();
            form1->Image2->repaint();
            repaintMs.push_back((Now() - start) * 1000);
        }
        if (form1->Image1->DisplayImagesMade() + form1->Image2->DisplayImagesMade() != madeBeforeRepaints)
            std::fprintf(stderr, "round %d: a repaint made a display image\n", round + 1);

        // "Save File Kompres" (not timed), "Open File kompres" and "Dekompres".
        answers.Answer(folder + "photo");
        form1->SavefileKompres2->trigger();
        Settle();
        std::filesystem::copy_file("temp.jpeg", folder + "ref-in.jpeg",
                                   std::filesystem::copy_options::overwrite_existing);
        ResetPeak();
        answers.Answer(folder + "photo.234");
        const TStep openKompres = Timed([&] { form1->OpenFilekompres1->trigger(); });
        const int madeBeforeDekompres = form1->Image1->DisplayImagesMade();
        const TStep dekompres = Timed([&] { form1->dekompres->click(); });
        const int madeInDekompres = form1->Image1->DisplayImagesMade() - madeBeforeDekompres;
        peakUnpack = std::max(peakUnpack, StatusBytes("VmHWM"));
        const auto djpeg =
            benchsupport::RunProgram({"djpeg", "-bmp", "-outfile", folder + "ref.bmp", folder + "ref-in.jpeg"});

        if (madeInPack != 2 || madeInDekompres != 1)
            std::fprintf(stderr, "round %d: the panes made %d and %d display images instead of 2 and 1\n",
                         round + 1, madeInPack, madeInDekompres);
        if (!cjpeg.ok || !djpeg.ok || !answers.Messages.isEmpty() || !std::filesystem::exists("temp.bmp")) {
            for (const QString& message : answers.Messages) std::fprintf(stderr, "%s\n", qPrintable(message));
            std::fprintf(stderr, "round %d failed (cjpeg %d, djpeg %d)\n", round + 1, cjpeg.ok, djpeg.ok);
            ok = false;
            break;
        }
        // The process's first round also pays for memory and files it
        // touches for the first time: it is shown, but not counted.
        const bool warmUp = round == 0 && rounds > 1;
        std::printf("round %d%s: open %.0f ms (cpu %.0f) + Kompres %.0f ms (cpu %.0f) = %.0f ms, cjpeg %.0f ms "
                    "(cpu %.0f) | open .234 %.1f ms + Dekompres %.0f ms (cpu %.0f) = %.0f ms, djpeg %.0f ms "
                    "(cpu %.0f)\n",
                    round + 1, warmUp ? " (warm-up, not counted)" : "", open.Seconds * 1000,
                    open.CpuSeconds * 1000, kompres.Seconds * 1000, kompres.CpuSeconds * 1000,
                    (open.Seconds + kompres.Seconds) * 1000, cjpeg.seconds * 1000, cjpeg.cpuSeconds * 1000,
                    openKompres.Seconds * 1000, dekompres.Seconds * 1000, dekompres.CpuSeconds * 1000,
                    (openKompres.Seconds + dekompres.Seconds) * 1000, djpeg.seconds * 1000,
                    djpeg.cpuSeconds * 1000);
        if (warmUp) continue;
        oursPack.push_back(open.Seconds + kompres.Seconds);
        cpuPack.push_back(open.CpuSeconds + kompres.CpuSeconds);
        refPack.push_back(cjpeg.seconds);
        cpuRefPack.push_back(cjpeg.cpuSeconds);
        oursUnpack.push_back(openKompres.Seconds + dekompres.Seconds);
        cpuUnpack.push_back(openKompres.CpuSeconds + dekompres.CpuSeconds);
        refUnpack.push_back(djpeg.seconds);
        cpuRefUnpack.push_back(djpeg.cpuSeconds);
        if (open.Seconds + kompres.Seconds <= Best(oursPack)) {
            openMs = open.Seconds * 1000;
            kompresMs = kompres.Seconds * 1000;
        }
        if (openKompres.Seconds + dekompres.Seconds <= Best(oursUnpack)) {
            openKompresMs = openKompres.Seconds * 1000;
            dekompresMs = dekompres.Seconds * 1000;
        }
    }

    windows.reset();
    if (!ok) return 1;

    // The picture dialogs' preview of the photo: from the page cache, and
    // once more with the file's pages dropped from it.
    auto previewMs = [&] {
        const double start = Now();
        const TBmpPreview preview = ReadBmpPreview(photo);
        const QImage shown = ScaleBitmap(*preview.Rows, QSize(172, 115));
        return shown.isNull() ? -1.0 : (Now() - start) * 1000;
    };
    double warmPreview = 1e9;
    for (int i = 0; i < 5; ++i) warmPreview = std::min(warmPreview, previewMs());
    double coldPreview = -1;
    if (const int file = ::open(photo.c_str(), O_RDONLY); file >= 0) {
        const bool dropped = ::fdatasync(file) == 0 && ::posix_fadvise(file, 0, 0, POSIX_FADV_DONTNEED) == 0;
        ::close(file);
        if (dropped) coldPreview = previewMs();
    }

    const double packRatio = Best(oursPack) / Best(refPack);
    const double unpackRatio = Best(oursUnpack) / Best(refUnpack);
    const int64_t limit = bmpSize + jpegSize + kMemorySlack;
    const double repaint = Median(repaintMs);
    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };

    std::printf("\n%d x %d 24-bit BMP %.1f MB, JPEG %.1f MB; %d rounds counted, best of each\n", kWidth, kHeight,
                Megabytes(bmpSize), Megabytes(jpegSize), int(oursPack.size()));
    std::printf("open + Kompres      %7.0f ms (open %.0f + Kompres %.0f)  cjpeg -quality 90 %6.0f ms  "
                "ratio %.2f (target <= %.1f: %s), median ratio %.2f, cpu ratio %.2f\n",
                Best(oursPack) * 1000, openMs, kompresMs, Best(refPack) * 1000, packRatio, kTimeTarget,
                verdict(packRatio <= kTimeTarget), Median(oursPack) / Median(refPack),
                Best(cpuPack) / Best(cpuRefPack));
    std::printf("open .234 + Dekompres %5.0f ms (open %.1f + Dekompres %.0f)  djpeg -bmp %6.0f ms  "
                "ratio %.2f (target <= %.1f: %s), median ratio %.2f, cpu ratio %.2f\n",
                Best(oursUnpack) * 1000, openKompresMs, dekompresMs, Best(refUnpack) * 1000, unpackRatio,
                kTimeTarget, verdict(unpackRatio <= kTimeTarget), Median(oursUnpack) / Median(refUnpack),
                Best(cpuUnpack) / Best(cpuRefUnpack));
    std::printf("peak memory: open + Kompres %.1f MB, open .234 + Dekompres %.1f MB, limit %.1f MB "
                "(BMP + JPEG + 64 MB): %s; resident before the first open %.1f MB%s\n",
                Megabytes(firstPeakPack), Megabytes(peakUnpack), Megabytes(limit),
                verdict(firstPeakPack <= limit && peakUnpack <= limit), Megabytes(baseline),
                peakResets ? "" : " (peaks could not be reset: all are the process's peak)");
    if (rounds > 1)
        std::printf("peak memory of open + Kompres while the window still shows the last decoded picture "
                    "(rounds 2 on): %.1f MB\n",
                    Megabytes(laterPeakPack));
    std::printf("repaint of both panes with 24-megapixel pictures: median %.3f ms, worst %.3f ms "
                "(target < %.0f ms: %s)\n",
                repaint, *std::max_element(repaintMs.begin(), repaintMs.end()), kRepaintTargetMs,
                verdict(repaint < kRepaintTargetMs));
    std::printf("preview of the %.0f MB file: %.1f ms from the page cache, %.1f ms with its pages dropped "
                "(target < 100 ms: %s)\n",
                Megabytes(bmpSize), warmPreview, coldPreview,
                verdict(warmPreview >= 0 && warmPreview < 100 && coldPreview < 100));
    std::printf("load at end: %s\n", LoadAverage().c_str());
    return 0;
}
