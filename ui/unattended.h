// The two windows run without a person at the screen (screenshots,
// benchmarks): file dialogs answered from a list of names, error messages
// kept instead of shown.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <memory>
#include <string>

#include "imaging/jpeg.h"
#include "ui/Unit1.h"
#include "ui/Unit3.h"
#include "ui/dialogs.h"

// Answers every file dialog with the next name in line (cancels when there
// is none) and keeps the error messages.
class TScriptedAnswers : public TUserInteraction {
public:
    std::deque<std::string> Answers;
    QStringList Messages;

    bool ExecuteFileDialog(TFileDialog& dialog) override {
        if (Answers.empty()) return false;
        dialog.FileName = Answers.front();
        Answers.pop_front();
        return true;
    }
    void ShowErrorMessage(const QString& caption, const QString& text) override {
        Messages << caption + QStringLiteral(": ") + text;
    }
};

// While it lives: the JPEG start-up done, the answers installed, and both
// windows made (Form1 shown); undone in the reverse order at the end.
class TUnattendedWindows {
public:
    explicit TUnattendedWindows(TScriptedAnswers& answers) {
        JpegStartup(24, 1);
        SetUserInteraction(&answers);
        Main = std::make_unique<TForm1>();
        Form1 = Main.get();
        Table = std::make_unique<TForm2>();
        Form2 = Table.get();
        Main->show();
    }
    ~TUnattendedWindows() {
        Table.reset();
        Form2 = nullptr;
        Main.reset();
        Form1 = nullptr;
        SetUserInteraction(nullptr);
        JpegShutdown();
    }
    TUnattendedWindows(const TUnattendedWindows&) = delete;
    TUnattendedWindows& operator=(const TUnattendedWindows&) = delete;

    std::unique_ptr<TForm1> Main;
    std::unique_ptr<TForm2> Table;
};
