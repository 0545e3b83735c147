// The engine from the image alone: what it reads there is what the setup in
// the store says, for every setup the tests build.
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "largesetup.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "setupview.h"
#include "simengine.h"
#include "testpaths.h"
#include "tst_sim.h"

using namespace kelda;

namespace {

// Compiles the model's setup and reads it back into a new engine.
std::unique_ptr<SimEngine> engineOf(PMModel &model, const QTemporaryDir &dir)
{
    const QString file = dir.filePath(QStringLiteral("image.bin"));
    if (!model.writeRawImage(file))
        return nullptr;
    auto engine = std::make_unique<SimEngine>();
    return engine->readImage(file) ? std::move(engine) : nullptr;
}

// The run times and options the store holds against those the engine read.
void compareWithStore(PMModel &model, const QString &what)
{
    QTemporaryDir dir;
    const std::unique_ptr<SimEngine> engine = engineOf(model, dir);
    QVERIFY2(engine, qPrintable(what + QStringLiteral(": ") + model.imageError()));
    const SetupView view = SetupView::read(model.session());
    QCOMPARE(engine->timerCount(), int(view.timers.size()));
    for (int t = 0; t < view.timers.size(); ++t) {
        QCOMPARE(engine->timerResetValue(t), view.timers.at(t).resetTicks);
        QCOMPARE(engine->timerValue(t), 0);
    }
    for (int k = 0; k < kOptionCount; ++k)
        QCOMPARE(engine->options()[k], view.options[k].value_or(0));
}

}  // namespace

class TestSimImage : public QObject
{
    Q_OBJECT

private slots:
    void timersAndOptionsAsInTheStore_largeSetup()
    {
        PMModel model;
        QVERIFY(bench::buildLargeSetup(model));
        compareWithStore(model, QStringLiteral("large setup"));
    }

    // Run times at both ends of their range, options changed from the
    // defaults, and a new setup's defaults.
    void timersAndOptionsAsInTheStore_builtSetups()
    {
        PMModel model;
        model.newSetup();
        compareWithStore(model, QStringLiteral("new setup"));
        test::SetupBuilder b(model);
        for (const double seconds : {0.005, 0.5, 1.0, 30.0, 327.675})
            b.timer(seconds);
        model.setOption(int(OptionIndex::MinPressTime), 0.07);
        model.setOption(int(OptionIndex::LongPressTime), 2.5);
        model.setOption(int(OptionIndex::FuseMaxRetries), 1000);
        compareWithStore(model, QStringLiteral("built setup"));
    }

    // The setups of the store's own tests, old and new layouts: each one that
    // opens compiles to an image the engine reads the same timers from.
    void timersAndOptionsAsInTheStore_storedSetups()
    {
        const QDir corpus(QStringLiteral(KELDA_SOURCE "/tests/fuzz/corpus/fuzz_store"));
        if (!corpus.exists())
            QSKIP("the store's sample setups are not in this source tree");
        int opened = 0;
        for (const QString &name : corpus.entryList({QStringLiteral("*.kelda")}, QDir::Files, QDir::Name)) {
            PMModel model;
            if (!model.openSetup(corpus.filePath(name)))
                continue;
            ++opened;
            compareWithStore(model, name);
            if (QTest::currentTestFailed())
                return;
        }
        QVERIFY2(opened >= 4, "fewer stored setups opened than the corpus holds good ones");
    }
};

QObject *makeImageTests()
{
    return new TestSimImage;
}

#include "tst_simimage.moc"
