// Checks the largest setup (255 rows a table) and prints the time with its
// goal: the window runs the check after every change. Median of several runs.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "largesetup.h"
#include "pmmodel.h"
#include "setupcheck.h"

namespace {

double cpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // bench_check [RUNS]
    const int runs = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 51;
    PMModel model;
    if (!kelda::bench::buildLargeSetup(model)) {
        std::fprintf(stderr, "bench_check: could not build the large setup\n");
        return 1;
    }
    std::vector<double> wall, cpu;
    qsizetype findings = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        const double c0 = cpuMs();
        timer.start();
        findings = kelda::check::checkSetup(model.session()).size();
        wall.push_back(timer.nsecsElapsed() / 1e6);
        cpu.push_back(cpuMs() - c0);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("check of the large setup (%lld findings): %.2f ms wall, cpu %.2f ms (goal <= 5 ms), median of %d\n",
                static_cast<long long>(findings), wall[wall.size() / 2], cpu[cpu.size() / 2], runs);
    return 0;
}
