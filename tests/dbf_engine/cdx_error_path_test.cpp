// Errors about a damaged CDX file name it with its directory, as every other
// error of the engine does.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "cdx_test_table.h"

namespace {

class CdxErrorPath : public CdxTest {
protected:
  // A file with one tag over enough records for a two-level tree; returns
  // the tag's root node offset.
  int32_t Build() {
    for (int i = 0; i < 300; ++i) table.Add(Name(i));
    auto f = Open(true);
    EXPECT_TRUE(f->AddTag("A", "NAME", "", true, false));
    return f->TagByName("A")->RootPage();
  }
  void Poke(int64_t offset, std::initializer_list<uint8_t> bytes) {
    std::fstream io(dir / "people.cdx", std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(offset);
    for (uint8_t b : bytes) io.put(static_cast<char>(b));
  }
  // The message of reading the tag from the top, empty when it raised none.
  std::string ReadError() {
    auto f = Open();
    try {
      f->TagByName("A")->TagOpen(cvTagOpenTop);
      Forward(f->TagByName("A"));
    } catch (const ECorvidError& e) {
      return e.what();
    }
    return {};
  }
  std::string Expected() const { return "Index file " + (dir / "people.cdx").string() + " is corrupted"; }
};

TEST_F(CdxErrorPath, ANodeWithBadAttributes) {
  const int32_t root = Build();
  Poke(root, {9, 0});
  EXPECT_EQ(ReadError(), Expected());
}

TEST_F(CdxErrorPath, AnInteriorNodeWithoutEntries) {
  const int32_t root = Build();
  ASSERT_EQ(Node(root)[0], 1) << "the root is an interior node";
  Poke(root + 2, {0, 0});
  EXPECT_EQ(ReadError(), Expected());
}

TEST_F(CdxErrorPath, AChildPastTheEndOfTheFile) {
  const int32_t root = Build();
  ASSERT_EQ(Node(root)[0], 1);
  // The first entry's child (big-endian, after the key and record number).
  const int64_t child = root + 12 + 10 + 4;
  Poke(child, {0x7F, 0, 0, 0});
  EXPECT_EQ(ReadError(), Expected());
}

}  // namespace
