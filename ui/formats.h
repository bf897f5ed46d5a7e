// Number texts of the main window: sizes in the whole-number pattern "#,"
// and ratios in the pattern "%5.1f", with the separators of the user's
// locale, read once at start-up.
#pragma once

#include <QChar>
#include <QString>
#include <cstdint>

// The separators in use; "," and "." until ReadLocaleSeparators runs.
extern QChar ThousandSeparator;
extern QChar DecimalSeparator;

// Takes the first character of the system locale's group separator and
// decimal point, or "," and "." when the locale gives none.
void ReadLocaleSeparators();

// Decimal digits grouped by three with ThousandSeparator; 0 gives "".
QString FormatSize(int64_t value);

// One digit after DecimalSeparator, halves rounded away from zero on the
// value's 18-digit decimal text, padded on the left to 5 characters.
QString FormatRatio(long double value);
