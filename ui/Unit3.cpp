#include "ui/Unit3.h"

#include <string>
#include <vector>

#include "core/streams.h"
#include "ui/application.h"
#include "ui/working_folder.h"

TForm2* Form2 = nullptr;

TForm2::TForm2(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Tabel kode"));
    setFont(FormFont());
    PlaceWindow(this, 73, 103, 648, 476);

    keluar = new TButton(QStringLiteral("keluar"), this);
    PlaceControl(keluar, 544, 416, 75, 25);
    editor = new TRichEdit(this);
    PlaceControl(editor, 0, 0, 633, 409);
    editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    editor->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    editor->setLineWrapMode(QTextEdit::WidgetWidth);
    Button1 = new TButton(QStringLiteral("Load Tabel"), this);
    PlaceControl(Button1, 280, 416, 75, 25);
    QWidget::setTabOrder(keluar, editor);
    QWidget::setTabOrder(editor, Button1);
    for (TButton* button : {keluar, Button1}) button->setAutoDefault(true);  // Return presses it

    connect(keluar, &QPushButton::clicked, this, Guarded(this, &TForm2::keluarClick, keluar));
    connect(Button1, &QPushButton::clicked, this, Guarded(this, &TForm2::Button1Click, Button1));

    RunGuarded([this] { FormCreate(this); });
}

void TForm2::FormCreate(QObject*) { editor->clear(); }

void TForm2::Button1Click(QObject*) {
    editor->clear();
    TMemoryStream content;
    content.LoadFromFile(WorkingFile("kode.txt"));
    // Plain text, line by line: CR LF, LF or a lone CR ends a line.
    const std::vector<uint8_t>& bytes = content.Data();
    QStringList lines;
    std::string line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c == '\r' || c == '\n') {
            lines << QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size()));
            line.clear();
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines << QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size()));
    editor->setPlainText(lines.join(QLatin1Char('\n')));
}

void TForm2::keluarClick(QObject*) { close(); }
