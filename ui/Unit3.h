// The code table window "Tabel kode": shows the code listing "kode.txt".
#pragma once

#include <QWidget>

#include "ui/controls.h"

class TForm2 : public QWidget {
public:
    explicit TForm2(QWidget* parent = nullptr);

    TButton* keluar;
    TRichEdit* editor;
    TButton* Button1;

    void keluarClick(QObject* Sender);
    void FormCreate(QObject* Sender);
    void Button1Click(QObject* Sender);
};

extern TForm2* Form2;
