#include "ui/formats.h"

#include <QLocale>
#include <cmath>
#include <cstdio>
#include <string>

QChar ThousandSeparator = QLatin1Char(',');
QChar DecimalSeparator = QLatin1Char('.');

void ReadLocaleSeparators() {
    const QLocale locale = QLocale::system();
    const QString group = locale.groupSeparator();
    const QString decimal = locale.decimalPoint();
    ThousandSeparator = group.isEmpty() ? QLatin1Char(',') : group.front();
    DecimalSeparator = decimal.isEmpty() ? QLatin1Char('.') : decimal.front();
}

QString FormatSize(int64_t value) {
    if (value == 0) return QString();
    const bool negative = value < 0;
    // Work on the unsigned magnitude so that the smallest value has one too.
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    const std::string digits = std::to_string(magnitude);
    QString text;
    if (negative) text += QLatin1Char('-');
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ThousandSeparator;
        text += QLatin1Char(digits[i]);
    }
    return text;
}

namespace {

// Rounds the decimal text of `value` to one digit after the point. The value
// is first written with 18 significant digits (what an extended value holds),
// and that text, not the binary value, is rounded with halves going up; so a
// ratio such as 63/20, stored just below 3.15, still gives 3.2.
// Returns the digits without a point: the last one is the tenths digit.
std::string RoundToTenths(long double magnitude) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17Le", magnitude);
    std::string mantissa;
    const char* p = buffer;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') mantissa += *p;
    const int exponent = *p == 'e' ? std::atoi(p + 1) : 0;
    if (mantissa.find_first_not_of('0') == std::string::npos) return "00";

    // mantissa = d0 d1 d2 ...; the value is d0.d1d2... x 10^exponent.
    // Digits kept: those before the point (exponent + 1) and one after it.
    const int keep = exponent + 2;
    if (keep < 0) return "00";
    std::string digits = mantissa.substr(0, static_cast<size_t>(std::min<int>(keep, mantissa.size())));
    const bool roundUp = keep < static_cast<int>(mantissa.size()) && mantissa[keep] >= '5';
    while (static_cast<int>(digits.size()) < keep) digits += '0';
    if (roundUp) {
        int i = static_cast<int>(digits.size()) - 1;
        for (; i >= 0 && digits[i] == '9'; --i) digits[i] = '0';
        if (i >= 0)
            ++digits[i];
        else
            digits.insert(digits.begin(), '1');
    }
    // At least "0" before the point and the tenths digit after it.
    while (digits.size() < 2) digits.insert(digits.begin(), '0');
    const size_t firstNonZero = digits.find_first_not_of('0');
    const size_t cut = std::min(firstNonZero, digits.size() - 2);
    return digits.substr(cut);
}

}  // namespace

QString FormatRatio(long double value) {
    QString text;
    if (std::isnan(value)) {
        text = QStringLiteral("NAN");
    } else if (std::isinf(value)) {
        text = value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    } else {
        const std::string digits = RoundToTenths(std::fabs(value));
        if (std::signbit(value) && digits.find_first_not_of('0') != std::string::npos)
            text += QLatin1Char('-');
        text += QString::fromLatin1(digits.data(), static_cast<qsizetype>(digits.size() - 1));
        text += DecimalSeparator;
        text += QLatin1Char(digits.back());
    }
    while (text.size() < 5) text.prepend(QLatin1Char(' '));
    return text;
}
