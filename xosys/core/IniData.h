// INI configuration: "[section]" lines, "key = value" lines, and comment
// lines starting with ";" or "#". Section and key names match ignoring ASCII
// case; names and values are trimmed of blanks. A value keeps every other
// character, ";" included (connect strings contain it).
//
// A small reader of our own: Debian's packaged INI parsers cap lines at 200
// or 1024 characters or accept malformed lines silently.
//
// Duplicates: a section that appears again continues the earlier one; of a
// key repeated within a section the first value wins and each later one is
// reported as a warning.
#ifndef XOSYS_CORE_INIDATA_H
#define XOSYS_CORE_INIDATA_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace xosys {

class IniData {
  public:
    // Largest file read; a bigger one is refused rather than slurped.
    static const size_t kMaxFileSize = 64u * 1024u * 1024u;

    // Parses the text of a whole file. Returns 0 or XOSYS_E_INI_SYNTAX, with
    // the 1-based number of the first malformed line in *errorLine and a
    // description in *error. Warnings (ignored duplicates) are appended to
    // *warnings as "line N: ..." texts. On failure the data stay empty.
    uint32_t parse(const std::string& text, size_t* errorLine, std::string* error,
                   std::vector<std::string>* warnings);

    // The value of section/key, or null when absent.
    const std::string* find(const char* section, const char* key) const;
    // The keys of a section, lower case, sorted.
    std::vector<std::string> keys(const char* section) const;
    // The names of the sections, lower case, sorted.
    std::vector<std::string> sections() const;

    void clear() { m_sections.clear(); }

  private:
    struct Entry {
        std::string value;
        size_t line;
    };
    using Section = std::map<std::string, Entry>;
    std::map<std::string, Section> m_sections;
};

// Reads a whole file into *text. Returns 0, XOSYS_E_INI_OPEN (missing,
// unreadable, a directory) or XOSYS_E_INI_TOO_LARGE, with the reason in *error.
uint32_t readTextFile(const char* path, size_t maxSize, std::string* text, std::string* error);

// Strict decimal integer: optional sign, digits only, within 32 bits.
// Leading and trailing blanks are allowed; anything else fails.
bool parseInt32(const std::string& text, int32_t* value);

std::string asciiLower(const char* text, size_t len);
// Removes leading and trailing spaces and tabs.
void trimBlanks(const char** begin, const char** end);

}  // namespace xosys

#endif  // XOSYS_CORE_INIDATA_H
