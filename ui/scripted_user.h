// Answers the program's dialogs from a script and keeps its error messages,
// so that the windows can be driven without a person: by the window tests
// and by the screenshot renderer. Install it with SetUserInteraction.
#pragma once

#include <QStringList>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ui/dialogs.h"

class TScriptedUser : public TUserInteraction {
public:
    struct TAsked {
        std::string Dialog;
        std::string InitialDir;
        std::string Filter;
    };

    // Next answers in order: a file name, or nothing for "Cancel".
    std::deque<std::optional<std::string>> Answers;
    std::vector<TAsked> Asked;
    QStringList Captions;
    QStringList Messages;
    // The detailed text of each message ("" where it has none).
    QStringList Details;

    void Answer(const std::string& fileName) { Answers.emplace_back(fileName); }
    void Cancel() { Answers.emplace_back(std::nullopt); }

    bool ExecuteFileDialog(TFileDialog& dialog) override {
        Asked.push_back({dialog.Name(), dialog.InitialDir(), dialog.Filter});
        if (Answers.empty()) return false;
        const std::optional<std::string> answer = Answers.front();
        Answers.pop_front();
        if (!answer) return false;
        dialog.FileName = *answer;
        return true;
    }

    void ShowErrorMessage(const QString& caption, const QString& text, const QString& detail) override {
        Captions << caption;
        Messages << text;
        Details << detail;
    }

    // The messages shown so far, then forgets them.
    QStringList TakeMessages() {
        QStringList taken = Messages;
        Messages.clear();
        Captions.clear();
        Details.clear();
        return taken;
    }
};
