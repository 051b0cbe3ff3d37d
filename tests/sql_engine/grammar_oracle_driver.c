/* Feeds a token array to bison's own parser of resources/sql_grammar.y.
 * Built only for the tests, as an accept/reject oracle. */
#include <stddef.h>

static const int* oracle_tokens;
static int oracle_count;
static int oracle_pos;

static int yylex(void) {
  if (oracle_pos >= oracle_count) return 0;
  int t = oracle_tokens[oracle_pos++];
  return t < 0 ? 0 : t;
}

static void yyerror(const char* msg) { (void)msg; }

#include "sql_grammar_oracle.c"

/* 0 when bison's parser accepts the tokens, else not 0.  The end of input
 * (token 0) is implied after the last token. */
int SqlGrammarOracle(const int* tokens, int count) {
  oracle_tokens = tokens;
  oracle_count = count;
  oracle_pos = 0;
  return yyparse();
}
