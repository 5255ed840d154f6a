// Timings of the main window's list: building the 4096 rows of a full point and the
// once-a-second refresh of their cells, shown and hidden. Runs offscreen.
// Usage: bench_ui [ROUNDS] (default 20)
#include <QApplication>
#include <QElapsedTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "config/records.h"
#include "ui/main_form.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    std::unique_ptr<qora::TConfigModel, qora::ModelDeleter> m(qora::CreateModel());
    for (int n = 0; n < qora::kParamsPerDevice; ++n)
        qora::CopyName(m->paramNames[n], QStringLiteral("Параметр %1").arg(n).toStdU16String(), 63);
    qora::CopyName(m->typeNames[0], u"Тип", 63);
    m->typeMasks[0] = 0xFFFFFFFFu;
    m->typeCount = 1;
    qora::AppendPoint(*m, u"Линия", "ttyS0", 1.0f, true);
    for (int a = 1; a <= qora::kMaxDevicesPerPoint; ++a)
        qora::AppendDevice(*m, 0, u"Прибор", 0, static_cast<uint8_t>(a), 0xFFFFFFFFu);

    qora::TMainFormCore core;
    core.model = m.get();
    qora::TMainForm form(core);
    form.show();
    QApplication::processEvents();

    std::vector<double> fill, refresh, hidden;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        form.RebuildTree(0, -1);  // selects the point: FillList with 4096 rows
        fill.push_back(t.nsecsElapsed() / 1e6);
        for (int j = 0; j < qora::kMaxDevicesPerPoint; ++j)
            for (int n = 0; n < qora::kParamsPerDevice; ++n) {
                qora::TDevice& d = m->points[0].devices[j];
                qora::StoreValue(d, n, static_cast<float>(r * 1000 + n));
                qora::StoreQuality(d, n, (r + n) % 2 ? qora::kQualityGood : qora::kQualityCommFailure);
                qora::StoreTimestamp(d, n, 45352.0 + r / 86400.0);
            }
        t.restart();
        form.RefreshView();
        refresh.push_back(t.nsecsElapsed() / 1e6);
        QApplication::processEvents();
    }
    form.ShowHideExecute();
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        form.RefreshView();
        hidden.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("rows %d\n", form.List()->topLevelItemCount());
    std::printf("FillList of a full point: median %.2f ms\n", Median(fill));
    std::printf("refresh, all cells changed: median %.2f ms\n", Median(refresh));
    std::printf("refresh while hidden: median %.4f ms\n", Median(hidden));
    return 0;
}
