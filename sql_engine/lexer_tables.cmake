# Scanner tables of the SQL lexer, generated at build time from the rule file
# by tools/lexgen.py.  Included by sql_engine/CMakeLists.txt before the
# library is defined; the generated source joins SQL_GENERATED_SOURCES.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(_lexgen ${PROJECT_SOURCE_DIR}/tools/lexgen.py)
set(_lexgen_out ${PROJECT_BINARY_DIR}/generated/sql_engine)
file(MAKE_DIRECTORY ${_lexgen_out})

# dirlook_lexer_tables(<rule file> <base name>): generates <base>.cpp and
# <base>.h in generated/sql_engine/ and appends the .cpp (and the header, so
# that it exists before anything that includes it is compiled).
function(dirlook_lexer_tables rules base)
  set(_cpp ${_lexgen_out}/${base}.cpp)
  set(_hdr ${_lexgen_out}/${base}.h)
  add_custom_command(
    OUTPUT ${_cpp} ${_hdr}
    COMMAND Python3::Interpreter ${_lexgen} ${rules}
            --cpp ${_cpp} --header ${_hdr} --header-include sql_engine/${base}.h
    DEPENDS ${rules} ${_lexgen}
    COMMENT "Generating scanner tables ${base} from ${rules}"
    VERBATIM)
  set(SQL_GENERATED_SOURCES ${SQL_GENERATED_SOURCES} ${_cpp} ${_hdr} PARENT_SCOPE)
endfunction()

dirlook_lexer_tables(${PROJECT_SOURCE_DIR}/resources/sql_lexer.l sql_lexer_tables)
dirlook_lexer_tables(${PROJECT_SOURCE_DIR}/resources/expr_lexer.l expr_lexer_tables)
