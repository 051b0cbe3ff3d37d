// Text between the directory's code page and the toolkit: every byte goes
// there and back unchanged, and a character the page lacks is refused.
#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include "gui_test_env.h"
#include "platform/code_page.h"
#include "platform/gui/controls.h"
#include "platform/gui/form.h"

using guitest::Shown;
using guitest::W;

TEST(Cp1251Table, EveryByteRoundTripsThroughUnicodeAndUtf8) {
  std::string all;
  for (int c = 1; c < 256; ++c) {
    const char32_t u = Cp1251ToUnicode(static_cast<unsigned char>(c));
    EXPECT_EQ(UnicodeToCp1251(u), c) << "byte " << c;
    all += static_cast<char>(c);
  }
  EXPECT_EQ(UnicodeToCp1251(0), 0);
  std::string back;
  ASSERT_TRUE(Utf8ToCp1251(Cp1251ToUtf8(all), back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(Cp1251ToUtf8("\xC0\xFF\xB9\x88"), "\xD0\x90\xD1\x8F\xE2\x84\x96\xE2\x82\xAC");  // Ая№€
}

TEST(Cp1251Table, RefusesWhatThePageLacksAndMalformedUtf8) {
  std::string out;
  char32_t refused = 0;
  EXPECT_FALSE(Utf8ToCp1251("ab\xE2\x98\xBA", out, &refused));  // ☺
  EXPECT_EQ(refused, U'\u263A');
  EXPECT_FALSE(Utf8ToCp1251("\xC3\xA9", out, &refused));  // é: Latin-1 but not 1251
  EXPECT_EQ(refused, U'\u00E9');
  EXPECT_FALSE(Utf8ToCp1251("\xF0\x9F\x98\x80", out, &refused));  // an emoji beyond the BMP
  EXPECT_EQ(refused, U'\U0001F600');
  for (const char* bad : {"\xC0\x80", "\xD0", "\xE2\x82", "\xED\xA0\x80", "\xFF", "\x80"}) {
    refused = 0;
    EXPECT_FALSE(Utf8ToCp1251(bad, out, &refused)) << bad;
    EXPECT_EQ(refused, U'\uFFFD');
  }
  EXPECT_EQ(UnicodeToCp1251(U'\u00E9'), -1);
  EXPECT_EQ(UnicodeToCp1251(U'\u0098'), 0x98);  // the page's one unassigned byte is carried through
}

TEST(Cp1251Table, EditShowsEveryByteAsItsCharacterAndGivesItBack) {
  TForm form(nullptr);
  auto* edit = form.CreateOwned<TEdit>();
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  edit->SetText(all);
  const QString shown = static_cast<QLineEdit*>(edit->Handle())->text();
  ASSERT_EQ(shown.size(), 255);
  for (int c = 1; c < 256; ++c)
    EXPECT_EQ(shown[c - 1].unicode(), Cp1251ToUnicode(static_cast<unsigned char>(c))) << "byte " << c;
  EXPECT_EQ(edit->Text(), all);
}

TEST(Cp1251Table, TypedCharacterThePageLacksIsRefusedWithAMessage) {
  TForm form(nullptr);
  auto* edit = form.CreateOwned<TEdit>();
  auto* line = static_cast<QLineEdit*>(edit->Handle());
  Shown().clear();
  guitest::Type(line, "Ab\xE2\x98\xBA");  // "Ab☺"
  guitest::Type(line, "\xD0\xB6");        // "ж" still goes in
  QApplication::processEvents();
  EXPECT_EQ(edit->Text(), W("Abж"));
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_NE(Shown()[0].Text.find("U+263A"), std::string::npos) << Shown()[0].Text;
  EXPECT_NE(Shown()[0].Text.find("1251"), std::string::npos);

  // A paste holding one such character is refused whole.
  Shown().clear();
  line->insert(QString::fromUtf8("x\xC3\xA9y"));
  QApplication::processEvents();
  EXPECT_EQ(edit->Text(), W("Abж"));
  EXPECT_EQ(Shown().size(), 1u);
}

TEST(Cp1251Table, LongTextsAreNotCut) {
  TForm form(nullptr);
  auto* edit = form.CreateOwned<TEdit>();
  const std::string text(40000, 'x');
  edit->SetText(text);
  EXPECT_EQ(edit->Text(), text);
  QTest::keyClicks(static_cast<QLineEdit*>(edit->Handle()), "yz");
  EXPECT_EQ(edit->Text().size(), 40002u);
}
