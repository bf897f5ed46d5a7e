// The two windows run without a person at the screen (screenshots,
// benchmarks), their dialogs answered by a script (TScriptedUser).
#pragma once

#include <memory>

#include "imaging/jpeg.h"
#include "ui/Unit1.h"
#include "ui/Unit3.h"
#include "ui/dialogs.h"

// While it lives: the JPEG start-up done, `user` answering the dialogs, and
// both windows made (Form1 shown); undone in the reverse order at the end.
class TUnattendedWindows {
public:
    explicit TUnattendedWindows(TUserInteraction& user) {
        JpegStartup(24, 1);
        SetUserInteraction(&user);
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
