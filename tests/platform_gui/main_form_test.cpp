// The window's own description in resources/: every control where the
// window expects it, and the dataset handed over before the query.
#include <QLineEdit>
#include <QTreeView>
#include <QWidget>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "gui_test_env.h"
#include "platform/gui/form.h"

using guitest::W;

namespace {

std::string ReadResource(const std::string& name) {
  const char* root = std::getenv("DIRLOOK_SOURCE_DIR");
  std::ifstream in(std::string(root ? root : ".") + "/resources/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Place {
  const char* name;
  int left, top, width, height;
  TAnchors anchors;
  int tabOrder;
};

}  // namespace

TEST(MainFormDescription, BuildsTheWindowAsTheDirectoryExpectsIt) {
  const std::string text = ReadResource("main_form.txt");
  ASSERT_FALSE(text.empty()) << "resources/main_form.txt not found (DIRLOOK_SOURCE_DIR)";
  TForm form(nullptr);
  std::vector<std::string> handlersUsed;
  form.RegisterHandler("bSelectClick", TNotifyEvent([&](TComponent*) { handlersUsed.push_back("bSelectClick"); }));
  form.RegisterHandler("ListColumnClick", TLVColumnClickEvent([&](TComponent*, TListColumn*) {
                         handlersUsed.push_back("ListColumnClick");
                       }));
  form.RegisterHandler("ListCompare",
                       TLVCompareEvent([&](TComponent*, TListItem*, TListItem*, intptr_t, int& r) { r = 0; }));
  std::vector<TDescribedComponent> nonVisual;
  form.LoadFromDescription(text, "main_form.txt", [&](const TDescribedComponent& c) { nonVisual.push_back(c); });

  EXPECT_EQ(form.Name(), "Main");
  EXPECT_EQ(form.Caption(), "Dirlook");
  EXPECT_EQ(form.Left(), 224);
  EXPECT_EQ(form.Top(), 227);
  EXPECT_EQ(form.ClientWidth(), 688);
  EXPECT_EQ(form.ClientHeight(), 441);
  EXPECT_EQ(form.FontName(), "MS Sans Serif");
  EXPECT_EQ(static_cast<QWidget*>(form.Handle())->font().pixelSize(), 11);

  const TAnchors lt = akLeft | akTop, tr = akTop | akRight;
  const Place places[] = {
      {"List", 8, 56, 673, 377, akLeft | akTop | akRight | akBottom, 6},
      {"tTEL", 8, 24, 65, 21, lt, 0},
      {"tFM", 80, 24, 145, 21, lt, 1},
      {"tUL", 232, 24, 257, 21, lt | akRight, 2},
      {"tND", 496, 24, 41, 21, tr, 3},
      {"tKW", 544, 24, 57, 21, tr, 4},
      {"bSelect", 608, 8, 73, 39, tr, 5},
  };
  for (const Place& p : places) {
    auto* c = dynamic_cast<TControl*>(form.FindComponent(p.name));
    ASSERT_NE(c, nullptr) << p.name;
    EXPECT_EQ(static_cast<QWidget*>(c->Handle())->geometry(), QRect(p.left, p.top, p.width, p.height)) << p.name;
    EXPECT_EQ(c->Anchors(), p.anchors) << p.name;
    EXPECT_EQ(c->TabOrder(), p.tabOrder) << p.name;
  }
  const char* labels[][4] = {{"Label1", "8", "Телефон:", ""},
                             {"Label2", "80", "Фамилия:", ""},
                             {"Label3", "232", "Улица:", ""},
                             {"Label4", "496", "Дом:", "r"},
                             {"Label5", "544", "Квартира:", "r"}};
  for (const auto& l : labels) {
    auto* label = dynamic_cast<TLabel*>(form.FindComponent(l[0]));
    ASSERT_NE(label, nullptr) << l[0];
    EXPECT_EQ(label->Left(), std::atoi(l[1]));
    EXPECT_EQ(label->Top(), 8);
    EXPECT_EQ(label->Caption(), W(l[2]));
    EXPECT_EQ(label->Anchors(), *l[3] ? tr : lt) << l[0];
  }

  // Upper case on the four edits after the phone; hints shown on the first two only.
  for (const char* name : {"tTEL", "tFM", "tUL", "tND", "tKW"}) {
    auto* edit = dynamic_cast<TEdit*>(form.FindComponent(name));
    EXPECT_EQ(edit->CharCase(), std::string(name) == "tTEL" ? ecNormal : ecUpperCase) << name;
    EXPECT_EQ(edit->MaxLength(), 0) << name;
  }
  auto tip = [&](const char* name) {
    return static_cast<QWidget*>(dynamic_cast<TControl*>(form.FindComponent(name))->Handle())->toolTip();
  };
  EXPECT_EQ(tip("tTEL"), QString::fromUtf8("Формат: [123456]"));
  EXPECT_EQ(tip("tFM"), QString::fromUtf8("Формат: [ФАМИЛИЯ ИО], для замены неизвестного символа '_', "
                                          "для замены неизвестной строки '%'"));
  EXPECT_TRUE(tip("tUL").isEmpty());
  EXPECT_EQ(dynamic_cast<TEdit*>(form.FindComponent("tUL"))->Hint(), W("Формат: [УЛИЦА]"));

  auto* button = dynamic_cast<TButton*>(form.FindComponent("bSelect"));
  EXPECT_EQ(button->Caption(), W("Найти"));
  EXPECT_EQ(form.DefaultButton(), button);
  button->Click();

  auto* list = dynamic_cast<TListView*>(form.FindComponent("List"));
  ASSERT_EQ(list->ColumnCount(), 3);
  const std::pair<const char*, int> columns[] = {{"Телефон", 62}, {"ФИО", 160}, {"Адрес", 447}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(list->Column(i)->Caption, W(columns[i].first));
    EXPECT_EQ(list->Column(i)->Width, columns[i].second);
  }
  EXPECT_EQ(list->SortType(), stBoth);
  EXPECT_TRUE(list->ReadOnly());
  EXPECT_TRUE(list->RowSelect());
  ASSERT_TRUE(list->OnCompare && list->OnColumnClick);
  list->OnColumnClick(list, list->Column(2));
  EXPECT_EQ(handlersUsed, (std::vector<std::string>{"bSelectClick", "ListColumnClick"}));

  // What the window looks like with a few rows, kept for the eye when asked.
  if (const char* shot = std::getenv("DIRLOOK_SCREENSHOT")) {
    list->BeginUpdate();
    const char* rows[][3] = {{"542783", "ИВАНОВ ИП", "ЛЕНИНА 12, КВ. 5"},
                             {"254654", "ОВЧИННИКОВ ИГ", "САДОВАЯ ПЛ. 31, КВ. "}};
    for (const auto& row : rows) {
      TListItem* item = list->Add();
      item->SetCaption(W(row[0]));
      item->AddSubItem(W(row[1]));
      item->AddSubItem(W(row[2]));
    }
    list->EndUpdate();
    dynamic_cast<TEdit*>(form.FindComponent("tFM"))->SetText(W("ИВАНОВ"));
    form.Show();
    EXPECT_TRUE(form.SaveImage(shot));
  }

  // The dataset comes before the query, and the query names it as its source.
  ASSERT_EQ(nonVisual.size(), 2u);
  const TDescribedComponent& hds = nonVisual[0];
  EXPECT_EQ(hds.Name, "HDS");
  EXPECT_EQ(hds.ClassName, "TCorvidDataSet");
  EXPECT_EQ(hds.Find("TableName")->Value.Text, "phones.dbf");
  EXPECT_EQ(hds.Find("DatabaseName"), nullptr);
  EXPECT_EQ(hds.Find("Active")->Value.Text, "true");
  EXPECT_EQ(hds.Find("Exclusive")->Value.Text, "false");
  EXPECT_EQ(hds.Find("FilterOptions")->Value.Names, std::vector<std::string>{"foCaseInsensitive"});
  EXPECT_EQ(hds.Find("LockProtocol")->Value.Text, "Default");
  EXPECT_EQ(hds.Find("UserID")->Value.Integer, 0);
  const TDescribedComponent& query = nonVisual[1];
  EXPECT_EQ(query.Name, "DBQuery");
  EXPECT_EQ(query.ClassName, "TCorvidSift");
  EXPECT_EQ(query.Find("SQL")->Value.Text, "select * from phones where tel='542783'");
  EXPECT_EQ(query.Find("DBFType")->Value.Text, "DBaseIV");
  const auto sources = query.ItemsOf("DataSets");
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0]->Find("Alias")->Value.Text, "Phones");
  EXPECT_EQ(sources[0]->Find("DataSet")->Value.Text, "HDS");
}
