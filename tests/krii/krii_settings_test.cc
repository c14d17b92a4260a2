// The stored forms of the settings: the dotted address, the port text and
// the 44-byte placement record.
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "kriiApp.h"
#include "krii_test_env.h"
#include "kriiSettings.h"

class SettingsTest : public QObject {
  Q_OBJECT

 private slots:
  void address_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("packed");
    QTest::newRow("default") << "192.168.191.2" << 0xC0A8BF02u;
    QTest::newRow("loopback") << "127.0.0.1" << 0x7F000001u;
    // Each number keeps its low 8 bits.
    QTest::newRow("300 wraps") << "300.1.2.3" << 0x2C010203u;
    QTest::newRow("256 is 0") << "256.1.2.3" << 0x00010203u;
    QTest::newRow("negative") << "-1.2.3.4" << 0xFF020304u;
    QTest::newRow("long digits") << "1000000000000000000001.0.0.9" << 0x01000009u;
    // From the first unreadable number on everything counts as 0.
    QTest::newRow("garbage") << "garbage" << 0u;
    QTest::newRow("empty") << "" << 0u;
    QTest::newRow("two numbers") << "10.20" << 0x0A140000u;
    QTest::newRow("bad second") << "10.x.3.4" << 0x0A000000u;
    QTest::newRow("comma") << "10,1,2,3" << 0x0A000000u;
    QTest::newRow("blanks before numbers") << " 10. 20.\t30.40" << 0x0A141E28u;
    QTest::newRow("blank before dot") << "10 .20.30.40" << 0x0A000000u;
    QTest::newRow("trailing text") << "1.2.3.4.5xyz" << 0x01020304u;
    QTest::newRow("plus sign") << "+1.+2.3.4" << 0x01020304u;
  }
  void address() {
    QFETCH(QString, text);
    QFETCH(uint, packed);
    QCOMPARE(krii_parse_address(text.toStdString()), packed);
  }

  void port_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("22") << "22" << 22;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("no digits") << "ssh" << 0;
    QTest::newRow("leading digits") << "22ab" << 22;
    QTest::newRow("no range test") << "99999" << 99999;
    QTest::newRow("saturates") << "123456789012345" << 2147483647;
  }
  void port() {
    QFETCH(QString, text);
    QFETCH(int, port);
    QCOMPARE(krii_port_from_text(text.toStdString()), port);
  }

  // Qt's own texts are loaded for a locale where Qt has a translation for
  // it; the program loads Chinese (its own texts are) whatever the locale.
  void qtTextsFollowTheLocale_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("translated");
    QTest::newRow("zh_CN") << "zh_CN" << true;
    QTest::newRow("zh_TW") << "zh_TW" << true;
    QTest::newRow("C") << "C" << false;
    QTest::newRow("the program's, under an English locale") << "" << true;
  }
  void qtTextsFollowTheLocale() {
    QFETCH(QString, locale);
    QFETCH(bool, translated);
    QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    QCOMPARE(locale.isEmpty() ? CkriiApp::LoadTranslations() : CkriiApp::LoadTranslations(QLocale(locale)),
             translated);
    QMessageBox box(QMessageBox::Question, QString(), QString(), QMessageBox::Yes | QMessageBox::No);
    const QString yes = box.button(QMessageBox::Yes)->text();
    QCOMPARE(yes != QStringLiteral("&Yes"), translated);
    QCOMPARE(QFileDialog::tr("Save As") != QStringLiteral("Save As"), translated);
  }

  void placementBytes() {
    krii_placement p;
    p.show = KRII_SHOW_MAXIMIZED;
    p.left = 10;
    p.top = -20;
    p.right = 0x01020304;
    p.bottom = 700;
    const QByteArray raw = krii_placement_encode(p);
    QCOMPARE(raw.size(), 44);
    // Little-endian int32 fields in their fixed order.
    QCOMPARE(raw.mid(0, 4), QByteArray("\x2c\x00\x00\x00", 4));
    QCOMPARE(raw.mid(8, 4), QByteArray("\x03\x00\x00\x00", 4));
    QCOMPARE(raw.mid(12, 4), QByteArray("\xff\xff\xff\xff", 4));
    QCOMPARE(raw.mid(32, 4), QByteArray("\xec\xff\xff\xff", 4));
    QCOMPARE(raw.mid(36, 4), QByteArray("\x04\x03\x02\x01", 4));
    krii_placement q;
    QVERIFY(krii_placement_decode(raw, &q));
    QCOMPARE(q.show, p.show);
    QCOMPARE(q.left, 10);
    QCOMPARE(q.top, -20);
    QCOMPARE(q.right, 0x01020304);
    QCOMPARE(q.bottom, 700);
    QCOMPARE(q.min_x, -1);
  }

  void placementOnlyExactly44() {
    krii_placement q;
    q.left = 99;
    const QByteArray raw = krii_placement_encode(krii_placement{});
    QVERIFY(!krii_placement_decode(raw.left(43), &q));
    QVERIFY(!krii_placement_decode(raw + '\0', &q));
    QVERIFY(!krii_placement_decode(QByteArray(), &q));
    QCOMPARE(q.left, 99);
  }
};

KRII_TEST_MAIN(SettingsTest)
#include "krii_settings_test.moc"
