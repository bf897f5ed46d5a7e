// Renders the two windows at the steps of a sample session into PNG files:
// at start, after "Kompres" and after "Dekompres". Run it on the offscreen
// platform: vendaru-screenshots <output folder>.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTemporaryDir>
#include <cstdio>

#include "ui/formats.h"
#include "ui/scripted_user.h"
#include "ui/unattended.h"

namespace {

void MakeSamplePicture(const QString& fileName) {
    QImage image(320, 240, QImage::Format_RGB888);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 240);
    sky.setColorAt(0, QColor(40, 90, 200));
    sky.setColorAt(1, QColor(250, 200, 120));
    painter.fillRect(image.rect(), sky);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 230, 90));
    painter.drawEllipse(QPoint(230, 80), 36, 36);
    QPainterPath hills;
    hills.moveTo(0, 240);
    hills.cubicTo(60, 140, 140, 220, 200, 170);
    hills.cubicTo(250, 130, 290, 180, 320, 160);
    hills.lineTo(320, 240);
    painter.setBrush(QColor(40, 130, 60));
    painter.drawPath(hills);
    painter.end();
    image.save(fileName, "BMP");
}

bool Save(QWidget* window, const QDir& folder, const QString& name) {
    const QString path = folder.filePath(name);
    if (!window->grab().save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QDir output(QDir::current().absoluteFilePath(argc > 1 ? QString::fromLocal8Bit(argv[1])
                                                                 : QStringLiteral("screenshots")));
    QDir().mkpath(output.path());
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path())) return 1;

    ReadLocaleSeparators();
    MakeSamplePicture(QStringLiteral("sample.bmp"));

    TScriptedUser script;
    bool ok = true;
    {
        TUnattendedWindows windows(script);
        TForm1* form1 = windows.Main.get();
        TForm2* form2 = windows.Table.get();
        form2->show();
        QApplication::processEvents();
        ok &= Save(form1, output, QStringLiteral("vendaru-start.png"));
        ok &= Save(form2, output, QStringLiteral("tabel-kode-start.png"));

        script.Answer(work.filePath(QStringLiteral("sample.bmp")).toStdString());
        script.Answer(work.filePath(QStringLiteral("sample")).toStdString());
        form1->OpenFileGambar1->trigger();
        form1->proses->click();
        form1->SavefileKompres2->trigger();
        form2->Button1->click();
        QApplication::processEvents();
        ok &= Save(form1, output, QStringLiteral("vendaru-kompres.png"));
        ok &= Save(form2, output, QStringLiteral("tabel-kode-kompres.png"));

        script.Answer(work.filePath(QStringLiteral("sample.234")).toStdString());
        form1->OpenFilekompres1->trigger();
        form1->dekompres->click();
        QApplication::processEvents();
        ok &= Save(form1, output, QStringLiteral("vendaru-dekompres.png"));
    }
    for (qsizetype i = 0; i < script.Messages.size(); ++i)
        std::fprintf(stderr, "%s: %s\n", qPrintable(script.Captions[i]), qPrintable(script.Messages[i]));
    return ok && script.Messages.isEmpty() ? 0 : 1;
}
