// A form built from a small description: places, anchors, tab order, typed
// input, the default button, list sorting, and the errors of a bad
// description.
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <map>
#include <memory>

#include "gui_test_env.h"
#include "platform/gui/form.h"
#include "platform/text.h"

using guitest::Shown;
using guitest::W;

namespace {

const char* const kSmallForm = R"(# a test form
object Small TForm
  Left = 10
  Top = 20
  Width = 300
  Height = 230
  ClientWidth = 300
  ClientHeight = 200
  Caption = "Поиск"
  Font.Name = "MS Sans Serif"
  Font.Height = -11
  object Caption1 TLabel
    Left = 8
    Top = 8
    Caption = "Фамилия:"
  end
  object eName TEdit
    Left = 8
    Top = 24
    Width = 200
    Height = 21
    Anchors = [akLeft, akTop, akRight]
    TabOrder = 1
    CharCase = ecUpperCase
    Hint = "Формат: [ФАМИЛИЯ ИО]"
    ShowHint = true
  end
  object ePhone TEdit
    Left = 8
    Top = 50
    Width = 60
    Height = 21
    TabOrder = 0
    Hint = "not shown"
  end
  object bGo TButton
    Left = 216
    Top = 8
    Width = 73
    Height = 39
    Anchors = [akTop, akRight]
    Caption = "Найти"
    Default = true
    TabOrder = 2
    OnClick = GoClick
  end
  object bOther TButton
    Left = 216
    Top = 50
    Anchors = [akRight, akBottom]
    TabOrder = 4
    OnClick = OtherClick
  end
  object Rows TListView
    Left = 8
    Top = 80
    Width = 200
    Height = 112
    Anchors = [akLeft, akTop, akRight, akBottom]
    SortType = stBoth
    TabOrder = 3
    OnCompare = RowsCompare
    OnColumnClick = RowsColumnClick
    item Columns
      Caption = "Телефон"
      Width = 62
    end
    item Columns
      Caption = "ФИО"
      Width = 120
    end
  end
  object Data TSomeDataSet
    TableName = "phones.dbf"
    Active = true
    FilterOptions = [foCaseInsensitive]
  end
  object Query TSomeQuery
    SQL = "select ""x"" from phones where fm like 'И%'"
    item DataSets
      Alias = "Phones"
      DataSet = Data
    end
  end
end
)";

class SmallForm : public testing::Test {
protected:
  void SetUp() override {
    form = std::make_unique<TForm>(nullptr);
    form->RegisterHandler("GoClick", TNotifyEvent([this](TComponent* s) {
                            ++goClicks;
                            sender = s;
                          }));
    form->RegisterHandler("OtherClick", TNotifyEvent([this](TComponent*) { ++otherClicks; }));
    form->RegisterHandler("RowsCompare",
                          TLVCompareEvent([this](TComponent*, TListItem* a, TListItem* b, intptr_t, int& result) {
                            ++compares;
                            result = CompareText(a->ColumnText(sortColumn), b->ColumnText(sortColumn));
                          }));
    form->RegisterHandler("RowsColumnClick", TLVColumnClickEvent([this](TComponent*, TListColumn* c) {
                            sortColumn = c->Index;
                            List()->AlphaSort();
                          }));
    form->LoadFromDescription(kSmallForm, "small.txt",
                              [this](const TDescribedComponent& c) { names.push_back(c.Name); });
    Shown().clear();
  }

  template <class T>
  T* Get(const char* name) {
    auto* c = dynamic_cast<T*>(form->FindComponent(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
  }
  TListView* List() { return Get<TListView>("Rows"); }
  static QWidget* W_(TControl* c) { return static_cast<QWidget*>(c->Handle()); }
  void ShowAndActivate() {
    form->Show();
    auto* window = static_cast<QWidget*>(form->Handle());
    QApplication::setActiveWindow(window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  }

  std::unique_ptr<TForm> form;
  int goClicks = 0, otherClicks = 0, compares = 0, sortColumn = 0;
  TComponent* sender = nullptr;
  std::vector<std::string> names;
};

}  // namespace

TEST_F(SmallForm, ControlsStandWhereTheDescriptionPutsThem) {
  auto* window = static_cast<QWidget*>(form->Handle());
  EXPECT_EQ(form->Name(), "Small");
  EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Поиск"));
  EXPECT_EQ(form->ClientWidth(), 300);
  EXPECT_EQ(form->ClientHeight(), 200);
  EXPECT_EQ(window->font().pixelSize(), 11);

  auto* name = Get<TEdit>("eName");
  EXPECT_EQ(W_(name)->geometry(), QRect(8, 24, 200, 21));
  EXPECT_EQ(W_(Get<TButton>("bGo"))->geometry(), QRect(216, 8, 73, 39));
  EXPECT_EQ(W_(List())->geometry(), QRect(8, 80, 200, 112));
  auto* label = Get<TLabel>("Caption1");
  EXPECT_EQ(static_cast<QLabel*>(label->Handle())->text(), QString::fromUtf8("Фамилия:"));
  EXPECT_EQ(label->Left(), 8);
  EXPECT_GT(label->Width(), 0);  // as wide as its text

  // Hints show only where switched on.
  EXPECT_EQ(W_(name)->toolTip(), QString::fromUtf8("Формат: [ФАМИЛИЯ ИО]"));
  EXPECT_TRUE(W_(Get<TEdit>("ePhone"))->toolTip().isEmpty());
  EXPECT_EQ(Get<TEdit>("ePhone")->Hint(), "not shown");

  auto* view = static_cast<QTreeView*>(List()->Handle());
  EXPECT_EQ(view->model()->headerData(1, Qt::Horizontal).toString(), QString::fromUtf8("ФИО"));
  EXPECT_EQ(view->columnWidth(0), 62);
  EXPECT_EQ(view->columnWidth(1), 120);
  EXPECT_EQ(view->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(view->editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST_F(SmallForm, NonVisualComponentsReachTheCallbackInOrderWithTheirProperties) {
  ASSERT_EQ(names, (std::vector<std::string>{"Data", "Query"}));
  EXPECT_EQ(form->FindComponent("Data"), nullptr);  // the form does not create them
  form.reset();
  // The descriptions were handed over while the form was loading; read them
  // again to check what a callback sees.
  const TDescribedComponent d = ReadFormDescription(kSmallForm, "small.txt");
  const TDescribedComponent& query = d.Children.back();
  EXPECT_EQ(query.ClassName, "TSomeQuery");
  EXPECT_EQ(query.Find("SQL")->Value.Text, "select \"x\" from phones where fm like '\xC8%'");
  ASSERT_EQ(query.ItemsOf("DataSets").size(), 1u);
  EXPECT_EQ(query.ItemsOf("DataSets")[0]->Find("DataSet")->Value.Text, "Data");
  const TDescribedComponent& data = d.Children[d.Children.size() - 2];
  EXPECT_EQ(data.Find("Active")->Value.Text, "true");
  EXPECT_EQ(data.Find("FilterOptions")->Value.Names, (std::vector<std::string>{"foCaseInsensitive"}));
}

TEST_F(SmallForm, AnchorsFollowTheClientArea) {
  form->SetClientSize(400, 260);                                               // 100 wider, 60 taller
  EXPECT_EQ(W_(Get<TEdit>("eName"))->geometry(), QRect(8, 24, 300, 21));       // stretches
  EXPECT_EQ(W_(Get<TEdit>("ePhone"))->geometry(), QRect(8, 50, 60, 21));       // stays
  EXPECT_EQ(W_(Get<TButton>("bGo"))->geometry(), QRect(316, 8, 73, 39));       // moves right
  EXPECT_EQ(W_(Get<TButton>("bOther"))->geometry(), QRect(316, 110, 75, 25));  // right and down
  EXPECT_EQ(W_(List())->geometry(), QRect(8, 80, 300, 172));                   // both ways
  // Back to the design size, the design places come back.
  form->SetClientSize(300, 200);
  EXPECT_EQ(W_(List())->geometry(), QRect(8, 80, 200, 112));
  EXPECT_EQ(W_(Get<TButton>("bOther"))->geometry(), QRect(216, 50, 75, 25));

  // A resize by the user reaches the controls through the window.
  ShowAndActivate();
  static_cast<QWidget*>(form->Handle())->resize(350, 200);
  QTRY_COMPARE(W_(Get<TButton>("bGo"))->geometry(), QRect(266, 8, 73, 39));
}

TEST_F(SmallForm, TabGoesThroughTheControlsInTabOrder) {
  std::vector<std::string> order;
  for (TControl* c : form->TabOrderList()) order.push_back(c->Name());
  EXPECT_EQ(order, (std::vector<std::string>{"ePhone", "eName", "bGo", "Rows", "bOther"}));

  ShowAndActivate();
  EXPECT_TRUE(Get<TEdit>("ePhone")->Focused());  // the first in the order starts with the focus
  for (size_t i = 1; i < order.size(); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_TRUE(dynamic_cast<TControl*>(form->FindComponent(order[i]))->Focused()) << order[i];
  }
}

TEST_F(SmallForm, AControlDestroyedLeavesTheFormWhole) {
  auto* window = static_cast<QWidget*>(form->Handle());
  const int widgets = window->findChildren<QLineEdit*>().size();
  ASSERT_TRUE(form->DestroyOwned(Get<TEdit>("eName")));
  EXPECT_EQ(window->findChildren<QLineEdit*>().size(), widgets - 1);
  EXPECT_EQ(form->TabOrderList().front()->Name(), "ePhone");
  EXPECT_EQ(form->TabOrderList()[1]->Name(), "bGo");
  form->SetClientSize(500, 300);  // anchors still run over the remaining controls
  EXPECT_EQ(W_(Get<TButton>("bGo"))->geometry(), QRect(416, 8, 73, 39));
}

TEST_F(SmallForm, UpperCaseEditConvertsTypedCyrillic) {
  auto* name = Get<TEdit>("eName");
  auto* phone = Get<TEdit>("ePhone");
  guitest::Type(W_(name), "иванов ёж-ab");
  EXPECT_EQ(name->Text(), W("ИВАНОВ ЁЖ-AB"));
  EXPECT_EQ(static_cast<QLineEdit*>(name->Handle())->text(), QString::fromUtf8("ИВАНОВ ЁЖ-AB"));
  // Typing in the middle keeps the cursor where it was.
  auto* line = static_cast<QLineEdit*>(name->Handle());
  line->setCursorPosition(0);
  guitest::Type(line, "щ");
  EXPECT_EQ(name->Text(), W("ЩИВАНОВ ЁЖ-AB"));
  EXPECT_EQ(line->cursorPosition(), 1);
  // An edit without upper case keeps what was typed.
  guitest::Type(W_(phone), "12аб");
  EXPECT_EQ(phone->Text(), W("12аб"));
  EXPECT_TRUE(Shown().empty());
}

TEST_F(SmallForm, EnterPressesTheDefaultButtonExceptOnAnotherButton) {
  ShowAndActivate();
  QTest::keyClick(W_(Get<TEdit>("eName")), Qt::Key_Return);
  EXPECT_EQ(goClicks, 1);
  EXPECT_EQ(sender, Get<TButton>("bGo"));
  QTest::keyClick(W_(List()), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(goClicks, 2);
  QTest::keyClick(W_(Get<TButton>("bOther")), Qt::Key_Return);
  EXPECT_EQ(goClicks, 2);
  EXPECT_EQ(otherClicks, 1);
  QTest::mouseClick(W_(Get<TButton>("bGo")), Qt::LeftButton);
  EXPECT_EQ(goClicks, 3);
  // Shift+Enter is not Enter.
  QTest::keyClick(W_(Get<TEdit>("eName")), Qt::Key_Return, Qt::ShiftModifier);
  EXPECT_EQ(goClicks, 3);
}

TEST_F(SmallForm, ListSortsOnceStablyThroughTheCompareHandler) {
  TListView* list = List();
  const char* rows[][2] = {{"300", "b"}, {"100", "\xC0"}, {"200", "a"}, {"100", "A"}, {"050", "\xE0"}};
  list->BeginUpdate();
  for (const auto& r : rows) {
    TListItem* item = list->Add();
    item->SetCaption(r[0]);
    item->AddSubItem(r[1]);
  }
  EXPECT_EQ(compares, 0);  // nothing sorted while the rows arrive
  list->EndUpdate();
  EXPECT_GT(compares, 0);
  EXPECT_LE(compares, 5 * 3);  // one sort, not one per row
  auto column = [&](int c) {
    std::vector<std::string> out;
    for (int i = 0; i < list->Count(); ++i) out.push_back(list->Item(i)->ColumnText(c));
    return out;
  };
  EXPECT_EQ(column(0), (std::vector<std::string>{"050", "100", "100", "200", "300"}));
  EXPECT_EQ(column(1)[1], "\xC0");  // equal keys keep their arrival order

  // A header click sorts by that column in CompareText order: Latin letters
  // fold, Cyrillic ones compare by their codes.
  QTest::mouseClick(static_cast<QTreeView*>(list->Handle())->header()->viewport(), Qt::LeftButton, {},
                    QPoint(62 + 10, 5));
  EXPECT_EQ(sortColumn, 1);
  EXPECT_EQ(column(1), (std::vector<std::string>{"A", "a", "b", "\xC0", "\xE0"}));
  EXPECT_EQ(column(0), (std::vector<std::string>{"100", "200", "300", "100", "050"}));

  // What the view shows follows the list once control is back in the loop.
  QApplication::processEvents();
  auto* model = static_cast<QTreeView*>(list->Handle())->model();
  EXPECT_EQ(model->rowCount(), 5);
  EXPECT_EQ(model->index(3, 1).data().toString(), QString::fromUtf8("А"));

  // Rows added outside an update are sorted before they are read.
  sortColumn = 0;
  list->Add()->SetCaption("000");
  EXPECT_EQ(list->Item(0)->Caption(), "000");
  list->Clear();
  EXPECT_EQ(list->Count(), 0);
  QApplication::processEvents();
  EXPECT_EQ(model->rowCount(), 0);
}

TEST_F(SmallForm, CompareHandlerThatRaisesLosesNoRows) {
  TListView* list = List();
  list->BeginUpdate();
  for (const char* c : {"b", "a", "c"}) list->Add()->SetCaption(c);
  list->EndUpdate();
  list->OnCompare = [](TComponent*, TListItem*, TListItem*, intptr_t, int&) { throw Exception("compare failed"); };
  EXPECT_THROW(list->AlphaSort(), Exception);
  EXPECT_EQ(list->Count(), 3);
  EXPECT_EQ(list->Item(0)->Caption(), "a");
}

TEST(FormDescription, ErrorsNameTheSourceAndLine) {
  auto error = [](const char* text, const std::map<std::string, TEventHandler>& handlers = {},
                  bool takeComponents = true) -> std::string {
    TForm form(nullptr);
    for (const auto& [name, h] : handlers) form.RegisterHandler(name, h);
    try {
      form.LoadFromDescription(
          text, "f.txt",
          takeComponents ? TNonVisualComponentEvent([](const TDescribedComponent&) {}) : TNonVisualComponentEvent());
    } catch (const EFormDescriptionError& e) {
      return e.Message();
    }
    return "no error";
  };
  EXPECT_EQ(error(""), "f.txt, line 0: the description is empty");
  EXPECT_EQ(error("object F TForm\n  Caption = \"x\n"), "f.txt, line 2: the text of Caption is not closed");
  EXPECT_EQ(error("object F TForm\n  Left = 1\n"), "f.txt, line 2: \"end\" of object F missing");
  EXPECT_EQ(error("object F TForm\n object B TButton\n  OnClick = Missing\n end\nend\n"),
            "f.txt, line 3: B.OnClick: no handler named Missing is registered");
  EXPECT_EQ(error("object F TForm\n object B TButton\n  OnClick = Cmp\n end\nend\n", {{"Cmp", TLVCompareEvent()}}),
            "f.txt, line 3: B.OnClick: handler Cmp is of another kind");
  EXPECT_EQ(error("object F TForm\n object E TEdit\n  Colour = 5\n end\nend\n"),
            "f.txt, line 3: TEdit has no property Colour");
  EXPECT_EQ(error("object F TForm\n object E TEdit\n  CharCase = ecShouting\n end\nend\n"),
            "f.txt, line 3: CharCase has no value \"ecShouting\"");
  EXPECT_EQ(error("object F TForm\n object E TEdit\n  Left = 1\n  Left = 2\n end\nend\n"),
            "f.txt, line 4: property Left given twice");
  EXPECT_EQ(error("object F TForm\n object E TEdit\n end\n object E TLabel\n end\nend\n").substr(0, 14),
            "f.txt, line 4:");
  EXPECT_EQ(error("object F TForm\n  Caption = \"\xE2\x98\xBA\"\nend\n"),
            "f.txt, line 2: the text of Caption holds U+263A, which code page 1251 lacks");
  EXPECT_EQ(error("object F TForm\n  Left = 12x\nend\n"), "f.txt, line 2: a bad number for Left");
  EXPECT_EQ(error("object F TForm\nend\nend\n"), "f.txt, line 3: text after the end of the top-level object");
  EXPECT_EQ(error("object F TForm\n object E TEdit\n  Left = \"8\"\n end\nend\n"),
            "f.txt, line 3: Left needs a number");
  EXPECT_EQ(error("object F TForm\n object E TEdit\n  Top = 99999999999\n end\nend\n"),
            "f.txt, line 3: Top is out of range");
  EXPECT_EQ(error("object F TForm\n object B TButton\n  Default = yes\n end\nend\n"),
            "f.txt, line 3: Default needs true or false");
  EXPECT_EQ(error("object F TForm\n object B TButton\n  Anchors = akTop\n end\nend\n"),
            "f.txt, line 3: Anchors needs a set of names in [ ]");
  EXPECT_EQ(error("object F TForm\n object Q TQuery\n end\nend\n", {}, false),
            "f.txt, line 2: nobody creates the component Q of class TQuery");
}

TEST(ApplicationObject, ErrorBoxAddsAFullStopOnlyWhereMissing) {
  EXPECT_EQ(TApplication::ExceptionText("Table is locked"), "Table is locked.");
  EXPECT_EQ(TApplication::ExceptionText("Table is locked."), "Table is locked.");
  EXPECT_EQ(TApplication::ExceptionText("Done!"), "Done!.");
  EXPECT_EQ(TApplication::ExceptionText(""), ".");

  // An exception escaping an event handler goes to an error box titled with
  // the program's name, and the handler's caller goes on.
  TForm form(nullptr);
  auto* button = form.CreateOwned<TButton>();
  button->OnClick = [](TComponent*) { throw EDatabaseError(W("Файл phones.dbf не найден")); };
  Shown().clear();
  button->Click();
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].Text, W("Файл phones.dbf не найден."));
  EXPECT_EQ(Shown()[0].Caption, "dirlook_tests");
  EXPECT_EQ(Shown()[0].Flags & MB_ICONERROR, MB_ICONERROR);
  // A silent abort shows nothing; anything else thrown still gets a box.
  button->OnClick = [](TComponent*) { throw EAbort("quiet"); };
  button->Click();
  button->OnClick = [](TComponent*) { throw 42; };
  button->Click();
  ASSERT_EQ(Shown().size(), 2u);
  ShowMessage(W("Введите параметры поиска"));
  ASSERT_EQ(Shown().size(), 3u);
  EXPECT_EQ(Shown()[2].Text, W("Введите параметры поиска"));
  EXPECT_EQ(Shown()[2].Caption, Application->Title());
  EXPECT_EQ(Shown()[2].Flags, MB_OK);
}

TEST(ApplicationObject, RunShowsTheMainFormAndReturnsWhenItCloses) {
  auto* form = Application->CreateForm<TForm>();
  ASSERT_EQ(Application->MainForm(), form);
  form->SetCaption("Dirlook");
  auto* edit = form->CreateOwned<TEdit>();
  edit->SetTabOrder(0);
  bool shownWhileRunning = false, focused = false;
  QTimer::singleShot(0, [&] {
    shownWhileRunning = form->Visible();
    // The window may not be active yet; the edit is the one it will focus.
    focused = static_cast<QWidget*>(form->Handle())->focusWidget() == edit->Handle();
    form->Close();
  });
  Application->Run();
  EXPECT_TRUE(shownWhileRunning);
  EXPECT_TRUE(focused);
  EXPECT_FALSE(form->Visible());
}

TEST(ApplicationObject, ScreenCursorShowsTheHourGlassUntilSetBack) {
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  Screen->SetCursor(crHourGlass);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  Screen->SetCursor(crHourGlass);  // twice is still one hour-glass
  Screen->SetCursor(crDefault);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(Screen->Cursor(), crDefault);
}
