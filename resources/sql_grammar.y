/* Grammar of the SQL language of the query engine.
 *
 * Productions are numbered in the order they appear here, from 1 (the
 * generator's own start rule is number 0).  The semantic actions in
 * sql_engine/front/sql_parser.cpp name each production by its text ("lhs:
 * symbols", "lhs: %empty"), which the build turns into its number: a
 * production may move, but one whose text changes, or that goes, stops the
 * build until its action follows.  There are no actions and no mid-rule
 * actions in this file.
 *
 * Terminals carry the token numbers that the SQL lexer returns
 * (sql_engine/front/sql_tokens.h).  Two terminals are precedence markers that the
 * lexer never returns: UMINUS (289) for the prefix signs and UNOT (387) for
 * the prefix NOT.
 *
 * Precedence, loosest first.  NOT as an infix word (NOT LIKE, NOT IN) sits
 * with LIKE, BETWEEN and IN and applies to the whole operand on its left;
 * the prefix NOT binds tighter than any other operator, so NOT a = b is
 * (NOT a) = b.
 */

%token IDENT 257 UINT 258 SINT 259 NUMBER 260 STRING 261
%token COMMA 262 LPAREN 263 RPAREN 264 LBRACKET 265 RBRACKET 266 DOT 267
%token SEMICOLON 268 COLON 269
%token OR 270 AND 271 EQ 272 NE 273 GT 274 LT 275 GE 276 LE 277
%token BETWEEN 278 IN 279 LIKE 280 PLUS 281 MINUS 282 SLASH 283 STAR 284
%token MOD 285 DIV 286 SHL 287 SHR 288 UMINUS 289 POWER 290 NOT 291
%token ILLEGAL 292 COMMENT 293 BLANK 294 TAB 295 NEWLINE 296
%token TRUE 297 FALSE 298 SELECT 299 DISTINCT 300 FROM 301 WHERE 302
%token ORDER 303 BY 304 ASC 305 DESC 306 AS 307 INNER 308 OUTER 309
%token FULL 310 JOIN 311 ON 312 GROUP 313 HAVING 314 ANY 315 ALL 316
%token SUM 317 AVG 318 COUNT 319 MIN 320 MAX 321 STDEV 322 LEFT 323
%token RIGHT 324 LEADING 325 TRAILING 326 BOTH 327 TRIM 328 EXTRACT 329
%token YEAR 330 MONTH 331 DAY 332 HOUR 333 MINUTE 334 SECOND 335 FOR 336
%token SUBSTRING 337 DELETE 338 UPDATE 339 INSERT 340 INTO 341 VALUES 342
%token SET 343 CAST 344 CHAR 345 INTEGER 346 BOOLEAN 347 DATE 348 TIME 349
%token DATETIME 350 FLOAT 351 ESCAPE 352 CREATE 353 TABLE 354 SMALLINT 355
%token MONEY 356 AUTOINC 357 PRIMARY 358 KEY 359 BLOB 360 INDEX 361
%token UNIQUE 362 DROP 363 TRANSFORM 364 PIVOT 365 UNION 366 WITH 367
%token IS 368 NULL 369 ALTER 370 COLUMN 371 ADD 372 APPEND 373 CASE 374
%token WHEN 375 THEN 376 ELSE 377 END 378 PACK 379 ZAP 380 REINDEX 381
%token RANGE 382 USING 383 FIELDS 384 TO 385 TOP 386
%token UNOT 387

%left OR
%left AND
%precedence LIKE BETWEEN IN NOT
%left EQ NE LT GT LE GE
%left PLUS MINUS
%left STAR SLASH MOD DIV SHL SHR
%precedence UMINUS
%right POWER
%precedence UNOT

%define api.token.prefix {TK_}
%expect 0
%start statement

%%

statement
  : select_stmt                 /* 1 */
  | transform_stmt              /* 2 */
  | union_stmt                  /* 3 */
  | update_stmt                 /* 4 */
  | delete_stmt                 /* 5 */
  | insert_stmt                 /* 6 */
  | create_table_stmt           /* 7 */
  | alter_table_stmt            /* 8 */
  | create_index_stmt           /* 9 */
  | drop_table_stmt             /* 10 */
  | drop_index_stmt             /* 11 */
  | pack_stmt                   /* 12 */
  | zap_stmt                    /* 13 */
  | reindex_stmt                /* 14 */
  ;

select_stmt
  : select_clause from_clause where_opt range_opt group_by_opt order_by_opt into_opt end_opt  /* 15 */
  ;

union_stmt
  : select_stmt UNION union_select end_opt   /* 16 */
  ;

into_opt
  : %empty                      /* 17 */
  | INTO IDENT FOR APPEND       /* 18 */
  ;

select_clause
  : select_head STAR            /* 19 */
  | select_head column_list     /* 20 */
  ;

select_head
  : top_before_opt SELECT top_after_opt            /* 21 */
  | top_before_opt SELECT top_after_opt DISTINCT   /* 22 */
  ;

top_after_opt
  : %empty                      /* 23 */
  | TOP UINT                    /* 24 */
  ;

top_before_opt
  : %empty                      /* 25 */
  | TOP UINT                    /* 26 */
  ;

column_list
  : column                      /* 27 */
  | column_list COMMA column    /* 28 */
  ;

column
  : column_expr alias_opt                                   /* 29 */
  | IDENT DOT STAR                                          /* 30 */
  | CAST LPAREN column_expr AS cast_type RPAREN alias_opt   /* 31 */
  ;

alias_opt
  : %empty                      /* 32 */
  | as_opt IDENT                /* 33 */
  ;

as_opt
  : %empty                      /* 34 */
  | AS                          /* 35 */
  ;

column_expr
  : field_ref                   /* 36 */
  | constant                    /* 37 */
  | function_call               /* 38 */
  | trim_call                   /* 39 */
  | extract_call                /* 40 */
  | substring_call              /* 41 */
  | case_expr                   /* 42 */
  | subquery                    /* 43 */
  | column_expr PLUS column_expr    /* 44 */
  | column_expr MINUS column_expr   /* 45 */
  | column_expr STAR column_expr    /* 46 */
  | column_expr SLASH column_expr   /* 47 */
  | column_expr POWER column_expr   /* 48 */
  | column_expr MOD column_expr     /* 49 */
  | column_expr DIV column_expr     /* 50 */
  | column_expr SHL column_expr     /* 51 */
  | column_expr SHR column_expr     /* 52 */
  | column_expr GT column_expr      /* 53 */
  | column_expr LT column_expr      /* 54 */
  | column_expr NE column_expr      /* 55 */
  | column_expr GE column_expr      /* 56 */
  | column_expr LE column_expr      /* 57 */
  | column_expr EQ column_expr      /* 58 */
  | column_expr AND column_expr     /* 59 */
  | column_expr OR column_expr      /* 60 */
  | MINUS column_expr %prec UMINUS  /* 61 */
  | PLUS column_expr %prec UMINUS   /* 62 */
  | LPAREN column_expr RPAREN       /* 63 */
  | SUM LPAREN distinct_opt column_expr RPAREN     /* 64 */
  | MIN LPAREN distinct_opt column_expr RPAREN     /* 65 */
  | MAX LPAREN distinct_opt column_expr RPAREN     /* 66 */
  | AVG LPAREN distinct_opt column_expr RPAREN     /* 67 */
  | STDEV LPAREN distinct_opt column_expr RPAREN   /* 68 */
  | COUNT LPAREN STAR RPAREN                       /* 69 */
  | COUNT LPAREN distinct_opt column_expr RPAREN   /* 70 */
  ;

distinct_opt
  : %empty                      /* 71 */
  | DISTINCT                    /* 72 */
  ;

function_call
  : IDENT LPAREN RPAREN                 /* 73 */
  | IDENT LPAREN function_args RPAREN   /* 74 */
  ;

function_args
  : STAR                        /* 75 */
  | column_expr_list            /* 76 */
  ;

column_expr_list
  : column_expr                             /* 77 */
  | column_expr_list COMMA column_expr      /* 78 */
  ;

trim_call
  : TRIM LPAREN trim_side STRING FROM condition RPAREN    /* 79 */
  ;

trim_side
  : LEADING                     /* 80 */
  | TRAILING                    /* 81 */
  | BOTH                        /* 82 */
  ;

extract_call
  : EXTRACT LPAREN date_part FROM condition RPAREN        /* 83 */
  ;

date_part
  : YEAR                        /* 84 */
  | MONTH                       /* 85 */
  | DAY                         /* 86 */
  | HOUR                        /* 87 */
  | MINUTE                      /* 88 */
  | SECOND                      /* 89 */
  ;

substring_call
  : SUBSTRING LPAREN condition FROM UINT for_length_opt RPAREN   /* 90 */
  ;

for_length_opt
  : %empty                      /* 91 */
  | FOR UINT                    /* 92 */
  ;

cast_type
  : CHAR LPAREN UINT RPAREN     /* 93 */
  | INTEGER                     /* 94 */
  | BOOLEAN                     /* 95 */
  | DATE                        /* 96 */
  | TIME                        /* 97 */
  | DATETIME                    /* 98 */
  | FLOAT                       /* 99 */
  | MONEY                       /* 100 */
  ;

case_expr
  : case_start when_list else_opt END    /* 101 */
  ;

case_start
  : CASE                        /* 102 */
  ;

when_list
  : when_clause                 /* 103 */
  | when_list when_clause       /* 104 */
  ;

when_clause
  : WHEN column_expr THEN case_value      /* 105 */
  ;

else_opt
  : %empty                      /* 106 */
  | ELSE case_value             /* 107 */
  ;

case_value
  : UINT                        /* 108 */
  | SINT                        /* 109 */
  | NUMBER                      /* 110 */
  | STRING                      /* 111 */
  | TRUE                        /* 112 */
  | FALSE                       /* 113 */
  ;

field_ref
  : IDENT                       /* 114 */
  | qualified_field             /* 115 */
  ;

qualified_field
  : IDENT DOT IDENT             /* 116 */
  ;

param
  : COLON IDENT                 /* 117 */
  ;

from_clause
  : FROM table_list             /* 118 */
  | FROM table_ref join_list    /* 119 */
  ;

table_list
  : table_ref                   /* 120 */
  | table_list COMMA table_ref  /* 121 */
  ;

table_ref
  : IDENT                       /* 122 */
  | IDENT IDENT                 /* 123 */
  | STRING                      /* 124 */
  | STRING IDENT                /* 125 */
  | subquery IDENT              /* 126 */
  ;

join_list
  : join                        /* 127 */
  | join_list join              /* 128 */
  ;

join
  : join_kind table_ref ON join_condition    /* 129 */
  ;

join_kind
  : JOIN                        /* 130 */
  | INNER JOIN                  /* 131 */
  | LEFT INNER JOIN             /* 132 */
  | LEFT JOIN                   /* 133 */
  | OUTER JOIN                  /* 134 */
  | LEFT OUTER JOIN             /* 135 */
  | RIGHT INNER JOIN            /* 136 */
  | RIGHT JOIN                  /* 137 */
  | RIGHT OUTER JOIN            /* 138 */
  | FULL OUTER JOIN             /* 139 */
  ;

join_condition
  : join_left EQ join_right                 /* 140 */
  | join_left NE join_right                 /* 141 */
  | join_left GE join_right                 /* 142 */
  | join_left LE join_right                 /* 143 */
  | join_left GT join_right                 /* 144 */
  | join_left LT join_right                 /* 145 */
  | LPAREN join_condition RPAREN            /* 146 */
  | join_condition AND join_condition       /* 147 */
  | join_condition OR join_condition        /* 148 */
  | join_condition PLUS join_condition      /* 149 */
  | join_condition MINUS join_condition     /* 150 */
  | join_condition STAR join_condition      /* 151 */
  | join_condition SLASH join_condition     /* 152 */
  | MINUS join_condition %prec UMINUS       /* 153 */
  | PLUS join_condition %prec UMINUS        /* 154 */
  | join_condition NOT LIKE STRING escape_opt              /* 155 */
  | join_condition LIKE STRING escape_opt                  /* 156 */
  | join_condition in_op LPAREN constant_list RPAREN       /* 157 */
  | join_condition BETWEEN constant AND constant           /* 158 */
  | IDENT LPAREN RPAREN                     /* 159 */
  | IDENT LPAREN condition_list RPAREN      /* 160 */
  | LEFT LPAREN condition_list RPAREN       /* 161 */
  | RIGHT LPAREN condition_list RPAREN      /* 162 */
  ;

join_left
  : IDENT DOT IDENT             /* 163 */
  | IDENT                       /* 164 */
  ;

join_right
  : IDENT DOT IDENT             /* 165 */
  | IDENT                       /* 166 */
  ;

condition
  : field_ref                   /* 167 */
  | constant                    /* 168 */
  | trim_call                   /* 169 */
  | extract_call                /* 170 */
  | substring_call              /* 171 */
  | null_test                   /* 172 */
  | IDENT LPAREN RPAREN                     /* 173 */
  | IDENT LPAREN condition_list RPAREN      /* 174 */
  | LEFT LPAREN condition_list RPAREN       /* 175 */
  | RIGHT LPAREN condition_list RPAREN      /* 176 */
  | condition BETWEEN field_ref AND field_ref          /* 177 */
  | condition BETWEEN constant AND constant            /* 178 */
  | condition in_op LPAREN constant_list RPAREN        /* 179 */
  | condition in_op subquery_use                       /* 180 */
  | condition LIKE STRING escape_opt                   /* 181 */
  | condition NOT LIKE STRING escape_opt               /* 182 */
  | MINUS condition %prec UMINUS    /* 183 */
  | PLUS condition %prec UMINUS     /* 184 */
  | condition PLUS condition        /* 185 */
  | condition MINUS condition       /* 186 */
  | condition STAR condition        /* 187 */
  | condition SLASH condition       /* 188 */
  | condition POWER condition       /* 189 */
  | condition MOD condition         /* 190 */
  | condition DIV condition         /* 191 */
  | condition SHL condition         /* 192 */
  | condition SHR condition         /* 193 */
  | condition EQ condition          /* 194 */
  | condition GE condition          /* 195 */
  | condition LE condition          /* 196 */
  | condition GT condition          /* 197 */
  | condition LT condition          /* 198 */
  | condition NE condition          /* 199 */
  | condition AND condition         /* 200 */
  | condition OR condition          /* 201 */
  | NOT condition %prec UNOT        /* 202 */
  | LPAREN condition RPAREN         /* 203 */
  | subquery_use                    /* 204 */
  ;

null_test
  : field_ref IS NULL           /* 205 */
  | field_ref IS NOT NULL       /* 206 */
  ;

in_op
  : IN                          /* 207 */
  | NOT IN                      /* 208 */
  ;

constant_list
  : constant                        /* 209 */
  | constant_list COMMA constant    /* 210 */
  ;

constant
  : UINT                        /* 211 */
  | SINT                        /* 212 */
  | NUMBER                      /* 213 */
  | STRING                      /* 214 */
  | TRUE                        /* 215 */
  | FALSE                       /* 216 */
  | param                       /* 217 */
  ;

condition_list
  : condition                           /* 218 */
  | condition_list COMMA condition      /* 219 */
  ;

where_opt
  : %empty                      /* 220 */
  | WHERE condition             /* 221 */
  ;

range_opt
  : %empty                      /* 222 */
  | SET RANGE FOR FIELDS range_field_list FROM range_start_list TO range_end_list USING INDEX STRING  /* 223 */
  ;

range_field_list
  : STRING                          /* 224 */
  | range_field_list COMMA STRING   /* 225 */
  ;

range_start_list
  : range_value                             /* 226 */
  | range_start_list COMMA range_value      /* 227 */
  ;

range_end_list
  : range_value                             /* 228 */
  | range_end_list COMMA range_value        /* 229 */
  ;

range_value
  : STRING                      /* 230 */
  | SINT                        /* 231 */
  | UINT                        /* 232 */
  | NUMBER                      /* 233 */
  | param                       /* 234 */
  ;

subquery_use
  : subquery                    /* 235 */
  | ANY subquery                /* 236 */
  | ALL subquery                /* 237 */
  ;

subquery
  : LPAREN subquery_body subquery_end                       /* 238 */
  | LPAREN subquery_body UNION union_select subquery_end    /* 239 */
  ;

subquery_body
  : inner_select_clause from_clause where_opt range_opt group_by_opt order_by_opt   /* 240 */
  ;

inner_select_clause
  : inner_select_distinct STAR          /* 241 */
  | inner_select_distinct column_list   /* 242 */
  ;

inner_select_distinct
  : inner_select_head                   /* 243 */
  | inner_select_head DISTINCT          /* 244 */
  ;

inner_select_head
  : inner_top_before_opt SELECT inner_top_after_opt    /* 245 */
  ;

inner_top_before_opt
  : %empty                      /* 246 */
  | TOP UINT                    /* 247 */
  ;

inner_top_after_opt
  : %empty                      /* 248 */
  | TOP UINT                    /* 249 */
  ;

subquery_end
  : RPAREN                      /* 250 */
  ;

escape_opt
  : %empty                      /* 251 */
  | ESCAPE STRING               /* 252 */
  ;

group_by_opt
  : %empty                              /* 253 */
  | GROUP BY group_list having_opt      /* 254 */
  ;

group_list
  : group_item                          /* 255 */
  | group_list COMMA group_item         /* 256 */
  ;

group_item
  : IDENT                       /* 257 */
  | qualified_field             /* 258 */
  | UINT                        /* 259 */
  ;

having_opt
  : %empty                      /* 260 */
  | HAVING column_expr          /* 261 */
  ;

order_by_opt
  : %empty                      /* 262 */
  | ORDER BY order_list         /* 263 */
  ;

order_list
  : order_item                          /* 264 */
  | order_list COMMA order_item         /* 265 */
  ;

order_item
  : group_item                  /* 266 */
  | group_item ASC              /* 267 */
  | group_item DESC             /* 268 */
  ;

end_opt
  : %empty                      /* 269 */
  | SEMICOLON                   /* 270 */
  ;

update_stmt
  : UPDATE table_ref SET assignment_list where_opt end_opt            /* 271 */
  | UPDATE table_ref SET assignment_list EQ subquery end_opt          /* 272 */
  ;

assignment_list
  : assignment                          /* 273 */
  | assignment_list COMMA assignment    /* 274 */
  ;

assignment
  : IDENT EQ condition          /* 275 */
  | IDENT EQ NULL               /* 276 */
  ;

delete_stmt
  : DELETE FROM table_ref where_opt end_opt     /* 277 */
  ;

insert_stmt
  : insert_list end_opt         /* 278 */
  ;

insert_list
  : insert_one                  /* 279 */
  | insert_list insert_one      /* 280 */
  ;

insert_one
  : INSERT INTO insert_table insert_columns values_opt insert_source    /* 281 */
  ;

values_opt
  : %empty                      /* 282 */
  | VALUES                      /* 283 */
  ;

insert_table
  : IDENT                       /* 284 */
  | STRING                      /* 285 */
  ;

insert_columns
  : LPAREN insert_column_list RPAREN    /* 286 */
  | LPAREN STAR RPAREN                  /* 287 */
  ;

insert_column_list
  : IDENT                               /* 288 */
  | insert_column_list COMMA IDENT      /* 289 */
  ;

insert_source
  : LPAREN value_list RPAREN    /* 290 */
  | subquery                    /* 291 */
  ;

value_list
  : insert_value                        /* 292 */
  | value_list COMMA insert_value       /* 293 */
  ;

insert_value
  : NULL                        /* 294 */
  | condition                   /* 295 */
  ;

alter_table_stmt
  : alter_list end_opt          /* 296 */
  ;

alter_list
  : alter_one                   /* 297 */
  | alter_list alter_one        /* 298 */
  ;

alter_one
  : ALTER TABLE STRING alter_items      /* 299 */
  ;

alter_items
  : alter_item                          /* 300 */
  | alter_items COMMA alter_item        /* 301 */
  ;

alter_item
  : ADD column_opt IDENT field_type     /* 302 */
  | DROP column_opt IDENT               /* 303 */
  ;

column_opt
  : %empty                      /* 304 */
  | COLUMN                      /* 305 */
  ;

create_table_stmt
  : create_list end_opt         /* 306 */
  ;

create_list
  : create_one                  /* 307 */
  | create_list create_one      /* 308 */
  ;

create_one
  : CREATE TABLE STRING LPAREN field_defs primary_key_opt RPAREN     /* 309 */
  ;

field_type
  : CHAR LPAREN UINT RPAREN                     /* 310 */
  | INTEGER                                     /* 311 */
  | SMALLINT                                    /* 312 */
  | BOOLEAN                                     /* 313 */
  | DATE                                        /* 314 */
  | TIME                                        /* 315 */
  | DATETIME                                    /* 316 */
  | MONEY                                       /* 317 */
  | FLOAT                                       /* 318 */
  | FLOAT LPAREN UINT RPAREN                    /* 319 */
  | FLOAT LPAREN UINT COMMA UINT RPAREN         /* 320 */
  | AUTOINC                                     /* 321 */
  | BLOB LPAREN UINT RPAREN                     /* 322 */
  ;

field_defs
  : IDENT field_type                    /* 323 */
  | field_defs COMMA IDENT field_type   /* 324 */
  ;

primary_key_opt
  : %empty                                  /* 325 */
  | PRIMARY KEY LPAREN key_fields RPAREN    /* 326 */
  ;

key_fields
  : IDENT                       /* 327 */
  | key_fields COMMA IDENT      /* 328 */
  ;

create_index_stmt
  : CREATE unique_opt index_order_opt INDEX IDENT ON STRING LPAREN index_fields RPAREN end_opt  /* 329 */
  ;

unique_opt
  : %empty                      /* 330 */
  | UNIQUE                      /* 331 */
  ;

index_order_opt
  : %empty                      /* 332 */
  | ASC                         /* 333 */
  | DESC                        /* 334 */
  ;

index_fields
  : IDENT                       /* 335 */
  | index_fields COMMA IDENT    /* 336 */
  ;

drop_table_stmt
  : DROP TABLE STRING end_opt           /* 337 */
  ;

drop_index_stmt
  : DROP INDEX STRING IDENT end_opt     /* 338 */
  ;

transform_stmt
  : TRANSFORM transform_columns select_stmt PIVOT column_expr pivot_in_opt end_opt   /* 339 */
  ;

transform_column
  : column_expr                                 /* 340 */
  | CAST LPAREN column_expr AS cast_type RPAREN /* 341 */
  ;

transform_columns
  : transform_column                            /* 342 */
  | transform_columns COMMA transform_column    /* 343 */
  ;

pivot_in_opt
  : %empty                              /* 344 */
  | IN LPAREN pivot_values RPAREN       /* 345 */
  | IN subquery                         /* 346 */
  ;

pivot_values
  : constant                        /* 347 */
  | pivot_values COMMA constant     /* 348 */
  ;

union_select
  : union_select_clause from_clause where_opt range_opt group_by_opt order_by_opt  /* 349 */
  ;

union_select_clause
  : union_select_distinct STAR          /* 350 */
  | union_select_distinct column_list   /* 351 */
  ;

union_select_distinct
  : union_select_keyword                /* 352 */
  | union_select_keyword DISTINCT       /* 353 */
  ;

union_select_keyword
  : SELECT                      /* 354 */
  ;

pack_stmt
  : PACK TABLE table_list       /* 355 */
  ;

zap_stmt
  : ZAP TABLE table_list        /* 356 */
  ;

reindex_stmt
  : REINDEX TABLE table_list    /* 357 */
  ;
