# Writes a C++ source that returns the bytes of a text file from a function:
#   cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DFUNCTION=<name> -DHEADER=<include> -P embed_text.cmake
# The text goes into adjacent raw string literals of at most 8 KiB each, cut
# after a newline where possible so no literal ends inside a character. 64
# zero bytes follow it, so a parser that reads ahead may use it in place.
# file(READ) drops carriage returns; JSON allows them only as white space, so
# the database read from the text is the same.
cmake_minimum_required(VERSION 3.20)

file(READ "${INPUT}" text)
set(delim "vtpj")
string(FIND "${text}" ")${delim}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string delimiter )${delim}\"")
endif()
get_filename_component(input_name "${INPUT}" NAME)

set(out "// Generated from ${input_name} by embed_text.cmake; do not edit.\n")
string(APPEND out "#include \"${HEADER}\"\n\nnamespace vantrel_core {\n\nnamespace {\n")
string(APPEND out "constexpr char kText[] =\n    \"\"\n")

string(LENGTH "${text}" size)
set(pos 0)
set(chunk_size 8192)
while(pos LESS size)
  math(EXPR remaining "${size} - ${pos}")
  if(remaining GREATER chunk_size)
    string(SUBSTRING "${text}" ${pos} ${chunk_size} chunk)
    string(FIND "${chunk}" "\n" cut REVERSE)
    if(cut EQUAL -1)
      string(FIND "${chunk}" "," cut REVERSE)
    endif()
    if(cut GREATER -1)
      math(EXPR keep "${cut} + 1")
      string(SUBSTRING "${chunk}" 0 ${keep} chunk)
    endif()
  else()
    string(SUBSTRING "${text}" ${pos} -1 chunk)
  endif()
  string(LENGTH "${chunk}" chunk_length)
  math(EXPR pos "${pos} + ${chunk_length}")
  string(APPEND out "    R\"${delim}(${chunk})${delim}\"\n")
endwhile()

string(REPEAT "\\0" 64 padding)
string(APPEND out "    \"${padding}\";\n}  // namespace\n\n")
string(APPEND out "std::string_view ${FUNCTION}() { return {kText, sizeof(kText) - 1 - 64}; }\n\n")
string(APPEND out "}  // namespace vantrel_core\n")
file(WRITE "${OUTPUT}" "${out}")
