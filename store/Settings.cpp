#include "store/Settings.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <stdexcept>

#include "store/AppFolder.h"
#include "store/TextFile.h"

namespace vorel {

namespace {

using Field = std::string Settings::*;
constexpr Field kFields[Settings::kLineCount] = {
    &Settings::txtPOP,
    &Settings::txtSMTP,
    &Settings::txtUSERID,
    &Settings::txtPASSWORD,
    &Settings::chkLEAVE,
    &Settings::chkLOG,
    &Settings::txtAUTOFORWARD,
    &Settings::txtRUNPROGRAM,
    &Settings::txtEMAILLOG,
    &Settings::chkAUTODIAL,
    &Settings::cmbDIALUP,
    &Settings::txtDIALUPID,
    &Settings::txtDIALUPPASSWORD,
    &Settings::txtDIALUPWHEN,
    &Settings::chkAUTODISCONNECT,
    &Settings::txtTIMEOUT,
    &Settings::chkESMTP,
    &Settings::chkDEBUG,
};

Field field(int n) {
    if (n < 1 || n > Settings::kLineCount) {
        throw std::out_of_range("setup.ini has no line " + std::to_string(n));
    }
    return kFields[n - 1];
}

bool isCheckBoxLine(int n) {
    return n == 5 || n == 6 || n == 10 || n == 15 || n == 17 || n == 18;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string settingsPath(const std::string& folder) {
    return joinPath(folder, kSettingsFile);
}

}  // namespace

std::string& Settings::line(int n) {
    return this->*field(n);
}
const std::string& Settings::line(int n) const {
    return this->*field(n);
}

double leadingNumber(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t start = i;
    std::size_t digits = 0;
    while (i < n && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return 0.0;
    }
    // An exponent counts only when it has digits ("2e" is 2).
    bool negativeExponent = false;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) {
            negativeExponent = text[j] == '-';
            ++j;
        }
        if (j < n && isDigit(text[j])) {
            while (j < n && isDigit(text[j])) {
                ++j;
            }
            i = j;
        } else {
            negativeExponent = false;
        }
    }
    // from_chars does not depend on the locale, unlike strtod.
    double value = 0.0;
    auto [end, ec] = std::from_chars(text.data() + start, text.data() + i, value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        value = negativeExponent ? 0.0 : HUGE_VAL;
    } else if (ec != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}

long roundedNumber(const std::string& text) {
    double x = leadingNumber(text);
    if (x >= static_cast<double>(LONG_MAX)) {
        return LONG_MAX;
    }
    if (x <= static_cast<double>(LONG_MIN)) {
        return LONG_MIN;
    }
    double whole = std::floor(x);
    double rest = x - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0)) {
        whole += 1.0;
    }
    return static_cast<long>(whole);
}

bool lineIsOnUnlessZero(const std::string& line) {
    return line != "0";
}

bool lineIsOnWhenNonZero(const std::string& line) {
    return leadingNumber(line) != 0.0;
}

bool debugModeOn(const std::string& line18) {
    return roundedNumber(line18) == 1;
}

std::string runTimeout(const std::string& line16) {
    return line16.empty() ? "30" : line16;
}

std::optional<int> readSettingsLines(const std::string& folder, Settings& settings) {
    auto lines = readTextLines(settingsPath(folder));
    if (!lines) {
        return std::nullopt;
    }
    int count = 0;
    for (const std::string& text : *lines) {
        if (count == Settings::kLineCount) {
            break;
        }
        settings.line(++count) = text;
    }
    return count;
}

Settings readSettingsForWindow(const std::string& folder) {
    Settings settings;
    auto lines = readTextLines(settingsPath(folder));
    if (!lines) {
        return settings;
    }
    for (int n = 1; n <= Settings::kLineCount && n <= static_cast<int>(lines->size()); ++n) {
        const std::string& text = (*lines)[static_cast<std::size_t>(n - 1)];
        if (!isCheckBoxLine(n)) {
            settings.line(n) = text;
            continue;
        }
        // A check box is cleared, ticked or greyed; any other value ends loading.
        long state = roundedNumber(text);
        if (state < 0 || state > 2) {
            break;
        }
        settings.line(n) = std::to_string(state);
    }
    return settings;
}

long readAutoRunInterval(const std::string& folder, long previous) {
    auto lines = readTextLines(settingsPath(folder));
    if (!lines || lines->size() < 14) {
        return previous;
    }
    return roundedNumber((*lines)[13]);
}

void writeSettings(const std::string& folder, const Settings& settings) {
    std::string content;
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        content += asOneLine(settings.line(n));
        content += "\r\n";
    }
    // The file holds two passwords in clear text.
    replaceFile(settingsPath(folder), content, 0600);
}

}  // namespace vorel
