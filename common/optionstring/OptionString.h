// Reading and editing option strings: flat texts of named fields such as
//   appname = XoMQSender;host = 127.0.0.1;port = 3001
// Fields are separated by ";" or ",". A field is a name, optionally followed by
// "=" and a value; blanks (space and tab only) may surround the name and precede
// the value. Names compare ignoring ASCII case. The value runs up to the next
// separator; its trailing blanks are kept. There is no quoting or escaping.
//
// All functions are stateless and reentrant, never log, and report an absent
// field through their results. Text and name pointers must be non-null.
//
// The program uses only the string form of GetFldVal; our XoSys library uses
// the core lookup. GetFldInt, AddFld and RemoveFld complete the module's
// interface and are kept with it, though only the tests call them today.
#pragma once

#include <cstddef>
#include <string>

namespace optstr {

// Looks up the first field called `name` in `text`.
// Returns a pointer into `text` at the field's value (after the blanks following
// "="), with its length in *valueLen. For an empty value or a bare name (a name
// directly followed by a separator) the pointer addresses the separator or the
// terminating NUL and *valueLen is 0. Returns null with *valueLen 0 when the
// field is absent or `name` is empty.
// When `fieldStart` is given it receives the start of each field examined; on
// success it addresses the start of the matched field, leading blanks included.
// It is left untouched when `name` is empty.
const char* GetFldVal(const char* text, const char* name, size_t* valueLen,
                      const char** fieldStart = nullptr);

// Stores the value of field `name` in *value, or empties *value when the field
// is absent, bare or has an empty value. Returns `value`.
std::string* GetFldVal(const char* text, const char* name, std::string* value);

// Converts the value of field `name` as a decimal integer (leading white space
// and sign allowed, conversion stops at the first other character, no digits
// give 0). Values beyond the 32-bit range saturate. Returns false and leaves
// *value untouched when the field is absent or its value empty.
bool GetFldInt(const char* text, const char* name, int* value);

// Appends the field name=value to *text, preceded by ";" when *text is not
// empty. Neither argument is checked or trimmed. Returns `text`.
std::string* AddFld(std::string* text, const char* name, const char* value);

// Removes the first field called `name` from *text: its leading blanks, the
// field itself and the one separator after it, if any. *value receives the
// removed field's value, or is emptied when the field is absent (then *text is
// unchanged). `value` must be a different string from `text`.
void RemoveFld(std::string* text, const char* name, std::string* value);

// Internals of the module, reachable for its tests.
namespace detail {

// Field separators and blanks.
extern const char kSeparators[];  // ";,"
extern const char kBlanks[];      // " \t"

// Length of `s` without its trailing characters that occur in `set`.
size_t TrimmedLen(const char* s, const char* set);

// Returns `name` advanced past its leading blanks and sets *len to the length of
// the rest without trailing blanks. For an empty or blank-only name *len is 0
// and the result addresses the terminating NUL.
const char* TrimFldName(const char* name, size_t* len);

}  // namespace detail

}  // namespace optstr
