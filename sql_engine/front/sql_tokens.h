// Token numbers of the SQL language.
//
// The SQL lexer returns these numbers and the SQL grammar declares its
// terminals with them, so the two must never drift apart.  0 is the end of
// the input; 256 is the parser's error token and is never scanned.  289 is
// reserved (the grammar uses it for a precedence marker, the lexer never
// returns it).  Tokens 293 to 296 (comment, blank, tab, line feed) are
// returned by the lexer and skipped by the parser.
#pragma once

#include <cstdint>

enum TSqlToken : int32_t {
  tkEndOfInput = 0,
  tkError = 256,
  tkIdent = 257,   // identifier or bracketed name
  tkUInt = 258,    // unsigned integer
  tkSInt = 259,    // signed integer
  tkNumber = 260,  // number with a point, hexadecimal, date, NOW
  tkString = 261,  // string literal, quotes kept
  tkComma = 262,
  tkLParen = 263,
  tkRParen = 264,
  tkLBracket = 265,
  tkRBracket = 266,
  tkDot = 267,
  tkSemicolon = 268,
  tkColon = 269,
  tkOR = 270,
  tkAND = 271,
  tkEQ = 272,  // =
  tkNE = 273,  // <>
  tkGT = 274,  // >
  tkLT = 275,  // <
  tkGE = 276,  // >=
  tkLE = 277,  // <=
  tkBETWEEN = 278,
  tkIN = 279,
  tkLIKE = 280,
  tkPlus = 281,  // + and ||
  tkMinus = 282,
  tkSlash = 283,
  tkStar = 284,
  tkMOD = 285,
  tkDIV = 286,
  tkSHL = 287,
  tkSHR = 288,
  tkReserved289 = 289,
  tkPower = 290,  // ^
  tkNOT = 291,
  tkIllegal = 292,  // character not allowed here
  tkComment = 293,
  tkBlank = 294,
  tkTab = 295,
  tkNewLine = 296,
  tkTRUE = 297,
  tkFALSE = 298,
  tkSELECT = 299,
  tkDISTINCT = 300,
  tkFROM = 301,
  tkWHERE = 302,
  tkORDER = 303,
  tkBY = 304,
  tkASC = 305,
  tkDESC = 306,
  tkAS = 307,
  tkINNER = 308,
  tkOUTER = 309,
  tkFULL = 310,
  tkJOIN = 311,
  tkON = 312,
  tkGROUP = 313,
  tkHAVING = 314,
  tkANY = 315,
  tkALL = 316,
  tkSUM = 317,
  tkAVG = 318,
  tkCOUNT = 319,
  tkMIN = 320,
  tkMAX = 321,
  tkSTDEV = 322,
  tkLEFT = 323,
  tkRIGHT = 324,
  tkLEADING = 325,
  tkTRAILING = 326,
  tkBOTH = 327,
  tkTRIM = 328,
  tkEXTRACT = 329,
  tkYEAR = 330,
  tkMONTH = 331,
  tkDAY = 332,
  tkHOUR = 333,
  tkMINUTE = 334,
  tkSECOND = 335,
  tkFOR = 336,
  tkSUBSTRING = 337,
  tkDELETE = 338,
  tkUPDATE = 339,
  tkINSERT = 340,
  tkINTO = 341,
  tkVALUES = 342,
  tkSET = 343,
  tkCAST = 344,
  tkCHAR = 345,
  tkINTEGER = 346,
  tkBOOLEAN = 347,
  tkDATE = 348,
  tkTIME = 349,
  tkDATETIME = 350,
  tkFLOAT = 351,  // FLOAT and NUMERIC
  tkESCAPE = 352,
  tkCREATE = 353,
  tkTABLE = 354,
  tkSMALLINT = 355,
  tkMONEY = 356,
  tkAUTOINC = 357,
  tkPRIMARY = 358,
  tkKEY = 359,
  tkBLOB = 360,
  tkINDEX = 361,
  tkUNIQUE = 362,
  tkDROP = 363,
  tkTRANSFORM = 364,
  tkPIVOT = 365,
  tkUNION = 366,
  tkWITH = 367,
  tkIS = 368,
  tkNULL = 369,
  tkALTER = 370,
  tkCOLUMN = 371,
  tkADD = 372,
  tkAPPEND = 373,
  tkCASE = 374,
  tkWHEN = 375,
  tkTHEN = 376,
  tkELSE = 377,
  tkEND = 378,
  tkPACK = 379,
  tkZAP = 380,
  tkREINDEX = 381,
  tkRANGE = 382,
  tkUSING = 383,
  tkFIELDS = 384,
  tkTO = 385,
  tkTOP = 386,
};
