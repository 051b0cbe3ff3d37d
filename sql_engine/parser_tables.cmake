# Parse tables of the SQL parser, generated at build time: bison builds the
# LALR(1) automaton of resources/sql_grammar.y and reports it as XML, and
# tools/bison_tables.py turns the report into the tables the parser runtime
# reads, and into sql_grammar_rules.h, which names the productions: the
# semantic actions switch on Rule("lhs: symbols"), so a production changed or
# removed without its action stops the build.  The grammar must stay free of
# conflicts (%expect 0) and yield its 695 states and 357 rules.
find_program(BISON_EXECUTABLE bison REQUIRED)
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(_sql_gen_dir ${PROJECT_BINARY_DIR}/generated/sql_engine)
file(MAKE_DIRECTORY ${_sql_gen_dir})
set(_sql_grammar ${PROJECT_SOURCE_DIR}/resources/sql_grammar.y)
set(_bison_tables ${PROJECT_SOURCE_DIR}/tools/bison_tables.py)

add_custom_command(
  OUTPUT ${_sql_gen_dir}/sql_parse_tables.cpp ${_sql_gen_dir}/sql_grammar_rules.h
  COMMAND ${BISON_EXECUTABLE} -Dlr.default-reduction=consistent
          --xml=${_sql_gen_dir}/sql_grammar.xml -o ${_sql_gen_dir}/sql_grammar_unused.c
          ${_sql_grammar}
  COMMAND ${Python3_EXECUTABLE} ${_bison_tables} ${_sql_gen_dir}/sql_grammar.xml
          ${_sql_gen_dir}/sql_parse_tables.cpp --name KpyaccTables
          --expect-states 695 --expect-rules 357
          --rules-header ${_sql_gen_dir}/sql_grammar_rules.h --rules-namespace sql_grammar
  DEPENDS ${_sql_grammar} ${_bison_tables}
  COMMENT "Generating the SQL parse tables"
  VERBATIM)
list(APPEND SQL_GENERATED_SOURCES ${_sql_gen_dir}/sql_parse_tables.cpp
     ${_sql_gen_dir}/sql_grammar_rules.h)

# An independent parser for the tests: bison's own C skeleton built from the
# same grammar file, fed with token numbers, accepts exactly what the grammar
# accepts.  The SQL tests compare our table-driven parser against it.
set(_oracle_driver ${PROJECT_SOURCE_DIR}/tests/sql_engine/grammar_oracle_driver.c)
if(NOT DIRLOOK_FUZZ AND EXISTS ${_oracle_driver})
  add_custom_command(
    OUTPUT ${_sql_gen_dir}/sql_grammar_oracle.c
    COMMAND ${BISON_EXECUTABLE} -o ${_sql_gen_dir}/sql_grammar_oracle.c ${_sql_grammar}
    DEPENDS ${_sql_grammar}
    COMMENT "Generating the SQL grammar oracle"
    VERBATIM)
  add_library(sql_grammar_oracle STATIC ${_oracle_driver})
  set_source_files_properties(${_oracle_driver} PROPERTIES
    OBJECT_DEPENDS ${_sql_gen_dir}/sql_grammar_oracle.c)
  target_include_directories(sql_grammar_oracle PRIVATE ${_sql_gen_dir})
  target_compile_options(sql_grammar_oracle PRIVATE -w)
  # The test executable is defined later, in tests/; link it once it exists.
  function(_dirlook_link_sql_oracle)
    if(TARGET sql_engine_tests)
      target_link_libraries(sql_engine_tests PRIVATE sql_grammar_oracle)
    endif()
  endfunction()
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _dirlook_link_sql_oracle)
endif()

# Parse tables of the expression parser, from resources/expr_grammar.y by the
# same pipeline; its actions name the productions through expr_grammar_rules.h.
set(_expr_grammar ${PROJECT_SOURCE_DIR}/resources/expr_grammar.y)
add_custom_command(
  OUTPUT ${_sql_gen_dir}/expr_parse_tables.cpp ${_sql_gen_dir}/expr_grammar_rules.h
  COMMAND ${BISON_EXECUTABLE} -Dlr.default-reduction=consistent
          --xml=${_sql_gen_dir}/expr_grammar.xml -o ${_sql_gen_dir}/expr_grammar_unused.c
          ${_expr_grammar}
  COMMAND ${Python3_EXECUTABLE} ${_bison_tables} ${_sql_gen_dir}/expr_grammar.xml
          ${_sql_gen_dir}/expr_parse_tables.cpp --name QexpryaccTables
          --expect-rules 62
          --rules-header ${_sql_gen_dir}/expr_grammar_rules.h --rules-namespace expr_grammar
  DEPENDS ${_expr_grammar} ${_bison_tables}
  COMMENT "Generating the expression parse tables"
  VERBATIM)
list(APPEND SQL_GENERATED_SOURCES ${_sql_gen_dir}/expr_parse_tables.cpp
     ${_sql_gen_dir}/expr_grammar_rules.h)
