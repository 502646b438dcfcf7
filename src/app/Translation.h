#pragma once
#include <atomic>
#include <string>
#include <unordered_map>
#include <vector>

namespace brivo {

// The translation table of "transl.dt": one column per language, column 0 the English
// keys. Row 0 holds each language's display name, row 1 its code, rows 2 and up the
// user texts. Loaded once on the UI thread; Translate is also called by scan workers,
// so the current index is the only thing that changes afterwards and it is atomic.
class TTranslation {
public:
    // Fills the table from the file's text. A bad count, or fewer than two full rows
    // (no names or no codes to build the Language menu from), leaves the table empty
    // and returns false.
    bool LoadFromText(const std::string& text);
    void Clear();

    // The current language's entry for key; key itself at index 0, for a key not in
    // column 0, or for an empty entry. Keys match exactly (case-sensitive).
    std::string Translate(const std::string& key) const;

    int ColumnCount() const { return static_cast<int>(columns_.size()); }
    int RowCount() const { return columns_.empty() ? 0 : static_cast<int>(columns_[0].size()); }
    const std::string& Entry(int column, int row) const { return columns_[column][row]; }
    std::string LanguageName(int column) const;
    std::string LanguageCode(int column) const;
    // Column whose code equals code ignoring ASCII case; -1 when none does.
    int IndexOfCode(const std::string& code) const;

    // A text translated into column from, said again in column to: a whole entry, or an
    // entry with %d/%s holes whose filled-in values are carried over. A text no entry
    // produces comes back unchanged.
    std::string Retranslate(const std::string& text, int from, int to) const;

    int CurrentIndex() const { return index_.load(std::memory_order_relaxed); }
    void SetCurrentIndex(int index) { index_.store(index, std::memory_order_relaxed); }
    std::string CurrentCode;

private:
    std::vector<std::vector<std::string>> columns_;
    std::unordered_map<std::string, int> firstRowOfKey_;
    std::atomic<int> index_{0};
};

// The program's one table ("unit-level state").
TTranslation& Translation();
std::string Translate(const std::string& key);

// Splits text into lines at CR LF, LF or CR; a final line break ends the last line
// rather than starting an empty one. A leading UTF-8 byte-order mark is dropped.
std::vector<std::string> SplitTextLines(const std::string& text);

// The language code for a POSIX locale name such as "de_DE.UTF-8": ar, cn, cs, de, el,
// es, fr, hu, it, jp, kr, nl, pl, pt, tr; anything else en.
std::string LanguageCodeForLocale(const std::string& localeName);
// From the first of LC_ALL, LC_MESSAGES, LANG that is set and not empty.
std::string SystemLanguageCode();

} // namespace brivo
