// Number texts, error texts, folder names, file sizes and the code listing.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstring>

#include "codec/unit2.h"
#include "core/exceptions.h"
#include "core/file_names.h"
#include "ui/application.h"
#include "ui/formats.h"
#include "ui/Unit1.h"
#include "ui/scripted_user.h"

class TextTests : public QObject {
    Q_OBJECT

private:
    void UseSeparators(char thousands, char decimal) {
        ThousandSeparator = QLatin1Char(thousands);
        DecimalSeparator = QLatin1Char(decimal);
    }

    QTemporaryDir* FFolder = nullptr;
    QString FPrevious;

private slots:
    void init() {
        UseSeparators(',', '.');
        FFolder = new QTemporaryDir;
        FPrevious = QDir::currentPath();
        QVERIFY(QDir::setCurrent(FFolder->path()));
    }
    void cleanup() {
        QDir::setCurrent(FPrevious);
        delete FFolder;
        FFolder = nullptr;
    }

    void sizesAreGroupedByThreeWithTheLocaleSeparator() {
        QCOMPARE(FormatSize(0), QString());
        QCOMPARE(FormatSize(7), QStringLiteral("7"));
        QCOMPARE(FormatSize(999), QStringLiteral("999"));
        QCOMPARE(FormatSize(1000), QStringLiteral("1,000"));
        QCOMPARE(FormatSize(1234567), QStringLiteral("1,234,567"));
        QCOMPARE(FormatSize(2147483647), QStringLiteral("2,147,483,647"));
        UseSeparators('.', ',');
        QCOMPARE(FormatSize(1234567), QStringLiteral("1.234.567"));
        QCOMPARE(FormatSize(-45678), QStringLiteral("-45.678"));
    }

    void ratiosHaveOneDecimalAndAWidthOfFive() {
        QCOMPARE(FormatRatio(12.04L), QStringLiteral(" 12.0"));
        QCOMPARE(FormatRatio(3.5L), QStringLiteral("  3.5"));
        QCOMPARE(FormatRatio(150.27L), QStringLiteral("150.3"));
        QCOMPARE(FormatRatio(123456.0L), QStringLiteral("123456.0"));
        QCOMPARE(FormatRatio(0.0L), QStringLiteral("  0.0"));
        QCOMPARE(FormatRatio(0.04L), QStringLiteral("  0.0"));
        QCOMPARE(FormatRatio(0.00001L), QStringLiteral("  0.0"));
        QCOMPARE(FormatRatio(9.96L), QStringLiteral(" 10.0"));
        QCOMPARE(FormatRatio(99.96L), QStringLiteral("100.0"));
        UseSeparators('.', ',');
        QCOMPARE(FormatRatio(12.04L), QStringLiteral(" 12,0"));
    }

    void ratioHalvesGoUpOnTheDecimalText() {
        // Exact binary halves, which printf would round to even.
        QCOMPARE(FormatRatio(2.25L), QStringLiteral("  2.3"));
        QCOMPARE(FormatRatio(0.25L), QStringLiteral("  0.3"));
        QCOMPARE(FormatRatio(0.05L), QStringLiteral("  0.1"));
        // Ratios of sizes whose long double lies just below the half.
        const long double ratios[][3] = {{63, 20, 3.2L}, {9, 4, 2.3L}, {4141, 20, 207.1L}, {1001, 20, 50.1L}};
        for (const auto& r : ratios) {
            const long double value = r[0] / r[1];
            QCOMPARE(FormatRatio(value), FormatRatio(r[2]));
        }
    }

    void errorTextGetsAFullStopAfterLettersOnly() {
        QCOMPARE(TApplication::ErrorText("Invalid Filename"), QStringLiteral("Invalid Filename."));
        QCOMPARE(TApplication::ErrorText("I/O error 21"), QStringLiteral("I/O error 21."));
        QCOMPARE(TApplication::ErrorText("Done."), QStringLiteral("Done."));
        QCOMPARE(TApplication::ErrorText("Unknown picture file extension (.)"),
                 QStringLiteral("Unknown picture file extension (.)"));
        QCOMPARE(TApplication::ErrorText("Stop!"), QStringLiteral("Stop!"));
        QCOMPARE(TApplication::ErrorText(""), QString());
    }

    void defaultHandlerShowsMessagesButNotAborts() {
        TScriptedUser user;
        TUserInteraction* previous = SetUserInteraction(&user);
        RunGuarded([] { throw EError("Invalid Filename"); });
        RunGuarded([] { throw EAbort(); });
        RunGuarded([] { throw std::runtime_error("plain"); });
        RunGuarded([] { throw 42; });
        SetUserInteraction(previous);
        QCOMPARE(user.Captions, QStringList({"Vendaru", "Vendaru", "Vendaru"}));
        QCOMPARE(user.Messages, QStringList({"Invalid Filename.", "plain.", "Unknown error."}));
    }

    void foldersOfFileNames() {
        QCOMPARE(FolderOf("/home/user/pictures/a.bmp"), std::string("/home/user/pictures"));
        QCOMPARE(FolderOf("/vendaru"), std::string("/"));
        QCOMPARE(FolderOf("a.bmp"), std::string());
        TFileDialog dialog(nullptr, "OpenPictureDialog1", TFileDialog::dkOpen, true);
        dialog.SetInitialDir("/home/user/");
        QCOMPARE(dialog.InitialDir(), std::string("/home/user"));
        dialog.SetInitialDir("/home/user");
        QCOMPARE(dialog.InitialDir(), std::string("/home/user"));
        dialog.SetInitialDir("/");
        QCOMPARE(dialog.InitialDir(), std::string("/"));
    }

    void qtFiltersKeepTheDescription() {
        QCOMPARE(QtNameFilter("Bitmaps (*.bmp)|*.bmp"), QStringLiteral("Bitmaps (*.bmp)"));
        QCOMPARE(QtNameFilter("File Kompres *.234|*.234"), QStringLiteral("File Kompres *.234 (*.234)"));
    }

    void fileSizeOfNeverFails() {
        QFile file(QStringLiteral("five.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("12345");
        file.close();
        QCOMPARE(FileSizeOf("five.bin"), 5);
        QCOMPARE(FileSizeOf("missing.bin"), 0);
        QVERIFY(QDir().mkdir(QStringLiteral("folder")));
        QCOMPARE(FileSizeOf("folder"), 0);
        QCOMPARE(FileSizeOf(""), 0);
        // Too large for a 32-bit size: counted as unknown, never wrapped round.
        QFile huge(QStringLiteral("huge.bin"));
        QVERIFY(huge.open(QIODevice::WriteOnly));
        if (!huge.resize(qint64(3) << 30)) QSKIP("no room for a sparse 3 GiB file");
        huge.close();
        QCOMPARE(FileSizeOf("huge.bin"), 0);
    }

    void codeListingReplacesTheFile() {
        QFile old(QStringLiteral("kode.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(5000, 'x'));
        old.close();

        std::memset(unit2::CodeTable, 0, sizeof unit2::CodeTable);
        unit2::CodeTable[0] = {0, 1, {1}, 1};
        unit2::CodeTable[65] = {65, 1, {0, 1, 1, 0}, 4};
        unit2::CodeTable[255] = {255, 1, {0}, 0};
        WriteCodeListing();

        QFile listing(QStringLiteral("kode.txt"));
        QVERIFY(listing.open(QIODevice::ReadOnly));
        QCOMPARE(listing.readAll(), QByteArray("Kode: 0- 1\r\nKode: 65- 0110\r\nKode: 255- \r\n"));
        std::memset(unit2::CodeTable, 0, sizeof unit2::CodeTable);
    }

    void codeListingErrorsAreInOutErrors() {
        QVERIFY(QDir().mkdir(QStringLiteral("kode.txt")));
        try {
            WriteCodeListing();
            QFAIL("no error for a folder named kode.txt");
        } catch (const EInOutError& e) {
            QCOMPARE(e.ErrorCode(), EISDIR);
            QCOMPARE(QString::fromStdString(e.Message()), QStringLiteral("I/O error %1").arg(EISDIR));
        }
    }
};

QTEST_GUILESS_MAIN(TextTests)
#include "test_ui_texts.moc"
