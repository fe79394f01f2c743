#pragma once

#include <optional>
#include <string>

namespace vorel {

// setup.ini: 18 lines, one value per line, in this fixed order. Each field
// holds the line's text exactly as stored; the interpretation rules below turn
// it into what a reader needs, so every reader agrees on what a file means.
struct Settings {
    std::string txtPOP;                   // 1
    std::string txtSMTP;                  // 2
    std::string txtUSERID;                // 3
    std::string txtPASSWORD;              // 4
    std::string chkLEAVE = "0";           // 5
    std::string chkLOG = "1";             // 6
    std::string txtAUTOFORWARD;           // 7
    std::string txtRUNPROGRAM;            // 8: none by default (no program to start)
    std::string txtEMAILLOG;              // 9
    std::string chkAUTODIAL = "0";        // 10
    std::string cmbDIALUP;                // 11
    std::string txtDIALUPID;              // 12
    std::string txtDIALUPPASSWORD;        // 13
    std::string txtDIALUPWHEN;            // 14
    std::string chkAUTODISCONNECT = "0";  // 15
    std::string txtTIMEOUT = "30";        // 16
    std::string chkESMTP = "0";           // 17
    std::string chkDEBUG = "0";           // 18

    static constexpr int kLineCount = 18;
    std::string& line(int n);  // n = 1..18
    const std::string& line(int n) const;
};

// Numeric value of a text as the settings readers take it: the value of its
// leading number (optional blanks, sign, digits, decimal part, exponent); a
// text without one counts as 0.
double leadingNumber(const std::string& text);
// Numeric value rounded to a whole number (halves to even).
long roundedNumber(const std::string& text);

// Interpretation rules, one per kind of line.
bool lineIsOnUnlessZero(const std::string& line);   // lines 5, 6: off only for exactly "0"
bool lineIsOnWhenNonZero(const std::string& line);  // lines 10, 15, 17
bool debugModeOn(const std::string& line18);        // line 18: on only when it rounds to 1
std::string runTimeout(const std::string& line16);  // "30" when empty

// Reads up to 18 lines of setup.ini into `settings`, overwriting the fields of
// the lines present and leaving the rest as they were (a file that ends early
// keeps the earlier values). Accepts CR LF and LF line ends. Returns the number
// of lines read, or std::nullopt when the file does not exist or cannot be read.
std::optional<int> readSettingsLines(const std::string& folder, Settings& settings);

// The settings window's reader: defaults, then the lines present; loading
// stops at a check-box line whose rounded value a check box cannot take
// (anything but 0, 1 or 2).
Settings readSettingsForWindow(const std::string& folder);

// The main window's reader: line 14 rounded, or `previous` when the file cannot
// be read or ends before line 14.
long readAutoRunInterval(const std::string& folder, long previous);

// Writes all 18 lines with CR LF through a temporary file renamed over
// setup.ini, created owner-only (0600). Throws std::runtime_error on failure,
// leaving any old file untouched.
void writeSettings(const std::string& folder, const Settings& settings);

}  // namespace vorel
