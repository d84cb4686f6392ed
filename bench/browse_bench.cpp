// The browse window's benchmark: from opening it to the root of a kept listing shown sorted by
// size, then a folder opened (a folder of hundreds of thousands of names among them) until its
// first screenful and until its last row, with the window's input latency throughout and the
// memory the window took for the listing.
//
//   browse_bench FOLDER [NAME...]
//
// FOLDER holds the kept listing (or several: the newest is shown); each NAME is a folder among
// the root's children to open in turn, as a click would. Exit 3 when a probe waited 50 ms or
// more. Runs on whatever Qt platform is active (offscreen, or xcb under xvfb-run).
#include <QAbstractItemModel>
#include <QApplication>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "latency_probe.h"
#include "window/browse_window.h"

namespace {

using quorvale::bench::Clock;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Resident memory now, in KiB.
long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// Runs the event loop until `done` holds; the time it took.
template <typename Done>
double Until(Done done) {
    const auto start = Clock::now();
    while (!done()) QApplication::processEvents(QEventLoop::AllEvents, 5);
    return Milliseconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: browse_bench FOLDER [NAME...]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QTreeView warm;  // the toolkit's own first costs, not the window's
    warm.show();
    QApplication::processEvents();
    const long before = ResidentKiB();
    quorvale::bench::LatencyProbe probe;
    int status = 0;
    {
        const quorvale::bench::ProbePoster poster(probe);
        const auto start = Clock::now();
        quorvale::window::BrowseWindow window({argv[1]});
        window.show();
        QTreeView* view = window.Tree();
        const QAbstractItemModel* model = view->model();
        Until([&] {
            const QModelIndex top = model->index(0, 0);
            return top.isValid() && model->rowCount(top) > 0 && !window.Busy();
        });
        const double root = Milliseconds(Clock::now() - start);
        // The longest wait of a probe since the last phase.
        std::size_t seen = 0;
        const auto longestWait = [&probe, &seen] {
            double most = 0;
            for (; seen < probe.waits.size(); ++seen) most = std::max(most, probe.waits[seen]);
            return most;
        };
        std::printf("root shown      %.1f ms (%s), input waited %.1f ms at most\n", root,
                    window.Status().toStdString().c_str(), longestWait());
        const QModelIndex top = model->index(0, 0);
        for (int i = 2; i < argc; ++i) {
            QModelIndex folder;
            for (int row = 0; row < model->rowCount(top); ++row) {
                const QModelIndex child = model->index(row, 0, top);
                if (child.data().toString() == QString(argv[i]) + "/") folder = child;
            }
            if (!folder.isValid()) {
                std::fprintf(stderr, "no folder %s below the root\n", argv[i]);
                return 2;
            }
            const auto opened = Clock::now();
            view->expand(folder);
            const double first = Until([&] { return model->rowCount(folder) > 0; });
            Until([&] { return !window.Busy(); });
            std::printf(
                "%-15s first rows %.1f ms, all %d rows %.1f ms (%s first), input waited "
                "%.1f ms at most\n",
                argv[i], first, model->rowCount(folder), Milliseconds(Clock::now() - opened),
                model->index(0, 0, folder).data().toString().toStdString().c_str(), longestWait());
        }
        std::printf("memory          %.1f MiB more resident\n",
                    static_cast<double>(ResidentKiB() - before) / 1024.0);
    }
    QApplication::processEvents();
    const double most =
        probe.waits.empty() ? 0 : *std::max_element(probe.waits.begin(), probe.waits.end());
    std::vector<double> waits = probe.waits;
    std::sort(waits.begin(), waits.end());
    std::printf("input latency   %zu probes, median %.1f ms, max %.1f ms\n", waits.size(),
                waits.empty() ? 0.0 : waits[waits.size() / 2], most);
    if (most >= 50) status = 3;
    return status;
}
