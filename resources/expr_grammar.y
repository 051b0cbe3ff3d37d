/* Grammar of the query engine's expression language.
 *
 * Productions are numbered in the order they appear here, from 1.  The
 * semantic actions in sql_engine/expr/expr_parser.cpp name each production
 * by its text ("lhs: symbols", "lhs: %empty"), which the build turns into its
 * number: a production may move, but one whose text changes, or that goes,
 * stops the build until its action follows.  There are no actions in this
 * file.
 *
 * Terminals carry the token numbers that the expression lexer returns.
 * UMINUS (287) is a precedence marker for the prefix signs that the lexer
 * never returns.
 *
 * Precedence, loosest first: AND, OR and XOR on one level; LIKE, IN and
 * BETWEEN, applying to the whole comparison or sum on their left; the
 * comparisons; + and -; * / DIV MOD SHL SHR; the prefix signs; ^ (right
 * associative, so -a ^ b is -(a ^ b)); NOT, tightest of all: NOT a = b is
 * (NOT a) = b, and a NOT that starts NOT LIKE, NOT IN or NOT BETWEEN binds
 * to the nearest operand (a + b NOT LIKE 'x' is a + (b NOT LIKE 'x')).
 */

%token IDENT 257 UINT 258 SINT 259 FLOATLIT 260 STRINGLIT 261
%token COMMA 262 LPAREN 263 RPAREN 264 DOT 265 COLON 266
%token OR 267 XOR 268 AND 269 EQ 270 NE 271 GT 272 LT 273 GE 274 LE 275
%token BETWEEN 276 IN 277 LIKE 278 PLUS 279 MINUS 280 SLASH 281 DIV 282
%token STAR 283 MOD 284 SHL 285 SHR 286 UMINUS 287 POWER 288 NOT 289
%token ILLEGAL 290 COMMENT 291 BLANK 292 TAB 293 NEWLINE 294
%token TRUE 295 FALSE 296 STRING 297 FLOAT 298 INTEGER 299 BOOLEAN 300
%token CASE 301 WHEN 302 THEN 303 ELSE 304 END 305 IF 306 CAST 307 AS 308
%token ESCAPE 309

%left AND OR XOR
%left LIKE IN BETWEEN
%left EQ NE LT GT LE GE
%left PLUS MINUS
%left STAR SLASH DIV MOD SHL SHR
%precedence UMINUS
%right POWER
%right NOT

%define api.token.prefix {TK_}
%expect 0
%start expr

%%

expr
  : constant                                    /* 1 */
  | name args                                   /* 2 */
  | CAST LPAREN expr AS STRING RPAREN           /* 3 */
  | FLOAT args                                  /* 4 */
  | CAST LPAREN expr AS FLOAT RPAREN            /* 5 */
  | INTEGER args                                /* 6 */
  | CAST LPAREN expr AS INTEGER RPAREN          /* 7 */
  | BOOLEAN args                                /* 8 */
  | CAST LPAREN expr AS BOOLEAN RPAREN          /* 9 */
  | IF args                                     /* 10 */
  | case                                        /* 11 */
  | expr BETWEEN constant AND constant          /* 12 */
  | expr NOT BETWEEN constant AND constant      /* 13 */
  | expr IN args                                /* 14 */
  | expr NOT IN args                            /* 15 */
  | expr LIKE constant escape                   /* 16 */
  | expr NOT LIKE constant escape               /* 17 */
  | MINUS expr %prec UMINUS                     /* 18 */
  | PLUS expr %prec UMINUS                      /* 19 */
  | NOT expr                                    /* 20 */
  | expr PLUS expr                              /* 21 */
  | expr MINUS expr                             /* 22 */
  | expr STAR expr                              /* 23 */
  | expr SLASH expr                             /* 24 */
  | expr DIV expr                               /* 25 */
  | expr POWER expr                             /* 26 */
  | expr MOD expr                               /* 27 */
  | expr SHL expr                               /* 28 */
  | expr SHR expr                               /* 29 */
  | expr GE expr                                /* 30 */
  | expr LE expr                                /* 31 */
  | expr GT expr                                /* 32 */
  | expr LT expr                                /* 33 */
  | expr EQ expr                                /* 34 */
  | expr NE expr                                /* 35 */
  | expr AND expr                               /* 36 */
  | expr OR expr                                /* 37 */
  | expr XOR expr                               /* 38 */
  | LPAREN expr RPAREN                          /* 39 */
  ;

args
  : %empty                                      /* 40 */
  | lparen RPAREN                               /* 41 */
  | lparen exprlist RPAREN                      /* 42 */
  ;

lparen
  : LPAREN                                      /* 43 */
  ;

exprlist
  : expr                                        /* 44 */
  | exprlist COMMA expr                         /* 45 */
  ;

case
  : CASE whenlist else END                      /* 46 */
  ;

whenlist
  : when                                        /* 47 */
  | whenlist when                               /* 48 */
  ;

when
  : WHEN expr THEN expr                         /* 49 */
  ;

else
  : %empty                                      /* 50 */
  | ELSE expr                                   /* 51 */
  ;

name
  : IDENT                                       /* 52 */
  | IDENT DOT IDENT                             /* 53 */
  ;

constant
  : UINT                                        /* 54 */
  | SINT                                        /* 55 */
  | FLOATLIT                                    /* 56 */
  | STRINGLIT                                   /* 57 */
  | TRUE                                        /* 58 */
  | FALSE                                       /* 59 */
  | COLON IDENT                                 /* 60 */
  ;

escape
  : %empty                                      /* 61 */
  | ESCAPE STRINGLIT                            /* 62 */
  ;
