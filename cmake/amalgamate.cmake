# Writes the library as one translation unit (run by CMake at build time:
# cmake -DOUTPUT=FILE -DHEADERS=H1;H2 -DSOURCES=S1;S2 -P amalgamate.cmake).
#
# Every name of the library but those of tagdb.h must stay inside it: a
# host that links the archive has its own globals, such as `lib`.  A
# compiler gives that on its own, without any linker or objcopy, to a name
# in an anonymous namespace, so the unit includes every source inside one.
# tagdb.h goes inside it first, where its declarations keep their C
# linkage and so their global names, and the definitions in the sources
# become those same functions.  The system headers the sources and headers
# include (with the conditions around them) come first, outside, so that
# their own inclusions inside the namespace find them included already.
set(text "// Generated from the library's sources by cmake/amalgamate.cmake.\n")
string(APPEND text "// The system headers they include, outside the namespace:\n")
foreach(file IN LISTS HEADERS SOURCES)
  # Lines are copied one by one: a directive continued on the next line
  # would be cut in two.
  file(READ "${file}" whole)
  if(whole MATCHES "(^|\n)[ \t]*#[ \t]*(if|elif|include)[^\n]*\\\\\n")
    message(FATAL_ERROR "${file}: a preprocessor directive is continued on the next line; "
                        "the library's single unit copies directives line by line: write it on one")
  endif()
  file(STRINGS "${file}" lines REGEX
       "^[ \t]*#[ \t]*(if|ifdef|ifndef|elif|else|endif|include[ \t]*<)")
  foreach(line IN LISTS lines)
    string(APPEND text "${line}\n")
  endforeach()
endforeach()
string(APPEND text "\nnamespace {\n")
foreach(file IN LISTS TAGDB_HEADER SOURCES)
  string(APPEND text "#include \"${file}\"\n")
endforeach()
string(APPEND text "}  // namespace\n")
file(WRITE "${OUTPUT}" "${text}")
