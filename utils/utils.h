#pragma once

#include <string>
#include <string_view>

namespace utils {

// Removes leading blanks and tabs, trailing blanks, tabs and carriage returns.
std::string& trim(std::string& text);
// The same rule without copying: returns the first kept character, length becomes the kept length.
const char* trim_span(const char* text, int& length);
// MD5 of a file's content. 0, or the negative errno when the file cannot be opened.
int md5_file(const std::string& path, unsigned char digest[16]);
// Two lower-case hex digits per byte; out is empty for length <= 0.
void convert_array_to_hex_string(const unsigned char* array, int length, std::string& out);
// Writes all of data, retrying short and interrupted writes. 0, or the errno of the failure.
int write_all(int fd, std::string_view data);

}  // namespace utils
