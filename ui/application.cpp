#include "ui/application.h"

#include <QApplication>
#include <QIcon>
#include <QThread>

#include <cstring>

#include "core/exceptions.h"
#include "core/safe_write.h"
#include "ui/dialogs.h"

TApplication Application;

void IdentifyApplication() {
    QGuiApplication::setDesktopFileName(QStringLiteral("vendaru"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vendaru"), QIcon(QStringLiteral(":/vendaru/vendaru.png"))));
}

void TApplication::Terminate() {
    Terminated = true;
    // Ends the running message loop. Without one (before it starts) the
    // request is only recorded: Qt would otherwise end every later loop,
    // modal dialogs included, the moment it starts.
    if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(0);
}

QString TApplication::ErrorText(const std::string& message) {
    QString text = QString::fromStdString(message);
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        text += QLatin1Char('.');
    return text;
}

void TApplication::ShowException(const std::string& message, const std::string& detail) {
    UserInteraction().ShowErrorMessage(Title, ErrorText(message), QString::fromStdString(detail));
}

void TApplication::HandleException() noexcept {
    try {
        try {
            throw;
        } catch (const EAbort&) {
            // Ends an operation quietly.
        } catch (const EOutputError& e) {
            ShowException(e.Message(), e.Detail());
        } catch (const EInOutError& e) {
            ShowException(e.Message(), std::strerror(e.ErrorCode()));
        } catch (const Exception& e) {
            ShowException(e.Message());
        } catch (const std::exception& e) {
            ShowException(e.what());
        } catch (...) {
            ShowException("Unknown error");
        }
    } catch (...) {
        // Showing the message failed too (no memory left); nothing more to do.
    }
}
