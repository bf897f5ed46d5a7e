// The application object: its title, the terminate request and the default
// exception handler, plus the guard that every handler called from a Qt
// signal or event runs inside, so that no exception reaches Qt's event loop.
#pragma once

#include <QString>
#include <exception>
#include <string>
#include <utility>

class TApplication {
public:
    // Caption of the error message boxes.
    QString Title = QStringLiteral("Vendaru");
    // Set by Terminate; the message loop ends when control returns to it.
    bool Terminated = false;

    void Terminate();

    // The default exception handler. Call it inside a catch block: it shows
    // the message of the exception being handled in an error message box,
    // with the system's reason for the failure, where the exception carries
    // one, as the box's detailed text; EAbort is passed over silently.
    // Never throws.
    void HandleException() noexcept;
    void ShowException(const std::string& message, const std::string& detail = std::string());

    // The text shown for an exception message: a full stop is appended when
    // the last character sorts after ".".
    static QString ErrorText(const std::string& message);
};

extern TApplication Application;

// Names the program to the desktop: the desktop entry "vendaru", so that a
// window manager matches the windows to it, and the icon "vendaru" of the
// icon theme, or the one built into the program where none is installed.
void IdentifyApplication();

// Runs `handler`; an exception leaving it goes to the default handler and
// stops there.
template <class F>
void RunGuarded(F&& handler) noexcept {
    try {
        std::forward<F>(handler)();
    } catch (...) {
        Application.HandleException();
    }
}

class QObject;

// Wraps a member handler (e.g. &TForm1::prosesClick) for a Qt connection;
// `sender` is the component whose event calls it.
template <class T>
auto Guarded(T* object, void (T::*handler)(QObject* Sender), QObject* sender) {
    return [object, handler, sender]() { RunGuarded([&] { (object->*handler)(sender); }); };
}
