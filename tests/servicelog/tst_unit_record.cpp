#include "servicelog/service_log.h"
#include "servicelog/unit_record.h"

#include <QtTest>

class tst_unit_record : public QObject
{
    Q_OBJECT

private slots:
    void appends_one_line_per_unit();
};

// Field names and end words are what scripts read: they are compared whole, and a second unit's line stays
// parseable beside the first. A folder that cannot be written is refused with a reason.
void tst_unit_record::appends_one_line_per_unit()
{
    UnitRecord record;
    record.started = QDateTime(QDate(2024, 5, 1), QTime(14, 3, 22, 117), Qt::OffsetFromUTC, -3 * 3600);
    record.ended = record.started.addSecs(95);
    record.host = "bench-2";
    record.port = "ttyUSB0";
    record.usb_serial = "A10K3ZQ";
    record.usb_vid_pid = "0403:6001";
    record.usb_description = "FT232R USB UART";
    record.adapter_identity = "ttyUSB0 A10K3ZQ";
    record.package_path = "/srv/pkg/A\n#1.vkt";
    record.package_sha256 = "ba7816bf";
    record.files = {{"MAIN.s19", 1243}, {"event.s19", 12}};
    record.end_text = "Operação realizada com Sucesso!";
    record.end_class = UnitEnd::success;
    record.exit_code = 0;
    record.service_log = "/logs/update_2024-05-01_14-03-22-117.log";

    QTemporaryDir dir;
    const QString path = dir.filePath("data/reports.jsonl");
    QString why;
    QVERIFY(unit_record::append(path, record, &why));
    record.usb_serial = record.usb_vid_pid = record.usb_description = QString();
    record.exit_code.reset();
    record.end_class = UnitEnd::unexpected_answer;
    QVERIFY(unit_record::append(path, record, &why));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(2), QByteArray());
    QCOMPARE(QJsonDocument::fromJson(lines.at(0)).object(), QJsonDocument::fromJson(R"({
        "started": "2024-05-01T14:03:22.117-03:00", "ended": "2024-05-01T14:04:57.117-03:00",
        "host": "bench-2", "port": "ttyUSB0",
        "usb_serial": "A10K3ZQ", "usb_vid_pid": "0403:6001", "usb_description": "FT232R USB UART",
        "adapter_identity": "ttyUSB0 A10K3ZQ",
        "package_path": "/srv/pkg/A\n#1.vkt", "package_sha256": "ba7816bf",
        "files": [{"name": "MAIN.s19", "size": 1243}, {"name": "event.s19", "size": 12}],
        "end_text": "Operação realizada com Sucesso!", "end_class": "success", "exit_code": 0,
        "service_log": "/logs/update_2024-05-01_14-03-22-117.log"})")
                                                                .object());
    const QJsonObject second = QJsonDocument::fromJson(lines.at(1)).object();
    QCOMPARE(second.value("end_class").toString(), QString("unexpected_answer"));
    for (const char* absent : {"usb_serial", "usb_vid_pid", "usb_description", "exit_code"})
        QVERIFY2(!second.contains(absent), absent);

    QVERIFY(!unit_record::append(path + "/reports.jsonl", record, &why));
    QVERIFY2(why.contains(path), qPrintable(why));
    QVERIFY(unit_record::default_reports_path().endsWith("/reports.jsonl"));
    QCOMPARE(QFileInfo(unit_record::default_reports_path()).path(), QFileInfo(ServiceLog::shared().folder()).path());
}

QTEST_GUILESS_MAIN(tst_unit_record)
#include "tst_unit_record.moc"
