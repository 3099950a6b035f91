// SPDX-License-Identifier: MIT
// The metrics with Prometheus's own tools: promtool accepts them, and a real Prometheus
// scraping the program sees exactly the steps a move made.
#include "programsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>

class TestMetrics : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { RequireFreePort3000(); }
    void scrapedByPrometheus();
};

void TestMetrics::scrapedByPrometheus()
{
    const quint16 metricsPort = FreePort(), prometheusPort = FreePort();
    ProgramUnderTest program(
        {"--simulate", "--headless", "--metrics", QString("127.0.0.1:%1").arg(metricsPort)});
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    QTRY_VERIFY((program.Collect(), program.errors.contains("metrics at")));
    QVERIFY(Get(metricsPort, "/").isEmpty()); // the metrics alone: no page

    QProcess promtool;
    promtool.start("promtool", {"check", "metrics"});
    promtool.write(Get(metricsPort, "/metrics"));
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished(30000));
    QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());

    QTemporaryDir dir;
    QFile config(dir.filePath("prometheus.yml"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QString("global: {scrape_interval: 1s, scrape_timeout: 900ms}\n"
                         "scrape_configs:\n"
                         "  - job_name: dial\n"
                         "    static_configs: [{targets: ['127.0.0.1:%1']}]\n")
                     .arg(metricsPort)
                     .toUtf8());
    config.close();
    QProcess prometheus;
    prometheus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    prometheus.start("prometheus",
                     {"--config.file=" + config.fileName(),
                      "--storage.tsdb.path=" + dir.filePath("data"),
                      QString("--web.listen-address=127.0.0.1:%1").arg(prometheusPort)});
    QVERIFY(prometheus.waitForStarted());
    // The latest sample Prometheus holds; -1 before its first scrape.
    const auto steps = [prometheusPort] {
        const QJsonObject answer =
            QJsonDocument::fromJson(Get(prometheusPort, "/api/v1/query?query="
                                                        "stepper_dial_steps_total"))
                .object();
        const QJsonArray result = answer["data"].toObject()["result"].toArray();
        return result.isEmpty()
                   ? -1.0
                   : result.at(0).toObject()["value"].toArray().at(1).toString().toDouble();
    };
    QTRY_VERIFY_WITH_TIMEOUT(steps() >= 0, 60000);
    const double before = steps();
    QVERIFY(program.Send(client, "90") && program.WaitForWrites(13));
    QTRY_VERIFY_WITH_TIMEOUT(steps() != before, 30000);
    QCOMPARE(steps(), before + 12);
    prometheus.terminate();
    QVERIFY(prometheus.waitForFinished(10000));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    for (const char* tool : {"prometheus", "promtool"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) {
            std::printf("tst_metrics skipped: no %s (Debian package prometheus)\n", tool);
            return 77;
        }
    TestMetrics test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_metrics.moc"
