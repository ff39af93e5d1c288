#include <gtest/gtest.h>

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <set>

#include "ImageButton.h"
#include "Images.h"

namespace {
const QStringList kCaptions{"Open", "Run", "ToDM", "Info", "Stop"};

QStringList AllNames() {
  QStringList names;
  for (const QString& caption : kCaptions)
    for (const char* state : {"U", "D", "F"}) names << caption.toUpper() + state;
  return names;
}

QImage Pixels(const QPixmap& pixmap) { return pixmap.toImage().convertToFormat(QImage::Format_ARGB32); }

std::set<QRgb> Colours(const QPixmap& pixmap) {
  const QImage image = Pixels(pixmap);
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
  return colours;
}

bool SameInRect(const QImage& a, const QImage& b, const QRect& rect, QPoint shiftOfB = {}) {
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x)
      if (a.pixel(x, y) != b.pixel(x + shiftOfB.x(), y + shiftOfB.y())) return false;
  return true;
}
}  // namespace

TEST(ButtonImages, EachIsAnOpaque25By23ImageInTheSixteenVgaColours) {
  const std::set<QRgb> vga{0xFF000000, 0xFF800000, 0xFF008000, 0xFF808000, 0xFF000080, 0xFF800080,
                           0xFF008080, 0xFFC0C0C0, 0xFF808080, 0xFFFF0000, 0xFF00FF00, 0xFFFFFF00,
                           0xFF0000FF, 0xFFFF00FF, 0xFF00FFFF, 0xFFFFFFFF};
  for (const QString& name : AllNames()) {
    SCOPED_TRACE(name.toStdString());
    const QPixmap image = ButtonImage(name);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(25, 23));
    const std::set<QRgb> colours = Colours(image);
    EXPECT_LE(colours.size(), 16u);
    for (QRgb colour : colours) EXPECT_TRUE(vga.count(colour)) << std::hex << colour;
  }
}

TEST(ButtonImages, EveryNameHasItsOwnImage) {
  const QStringList names = AllNames();
  for (int i = 0; i < names.size(); ++i)
    for (int j = i + 1; j < names.size(); ++j)
      EXPECT_FALSE(Pixels(ButtonImage(names[i])) == Pixels(ButtonImage(names[j])))
          << names[i].toStdString() << " " << names[j].toStdString();
}

TEST(ButtonImages, PressedMovesTheFaceAndFocusedKeepsTheGlyph) {
  for (const QString& caption : kCaptions) {
    SCOPED_TRACE(caption.toStdString());
    const QString base = caption.toUpper();
    const QImage up = Pixels(ButtonImage(base + "U"));
    const QImage down = Pixels(ButtonImage(base + "D"));
    const QImage focus = Pixels(ButtonImage(base + "F"));
    // inside the two-pixel bevel the pressed face is the up face one pixel right and down
    EXPECT_TRUE(SameInRect(up, down, QRect(2, 2, 20, 18), QPoint(1, 1)));
    EXPECT_FALSE(SameInRect(up, down, QRect(0, 0, 25, 23)));
    // the focus mark stays clear of the glyph in the middle
    EXPECT_TRUE(SameInRect(up, focus, QRect(5, 5, 15, 13)));
  }
}

TEST(ButtonImages, UnknownNamesGiveANullImage) {
  for (const char* name : {"", "OPEN", "OPENX", "OPENUU", "CLOSEU", "U"})
    EXPECT_TRUE(ButtonImage(name).isNull()) << name;
  EXPECT_TRUE(Pixels(ButtonImage("runD")) == Pixels(ButtonImage("RUND")));
}

TEST(ApplicationIcon, Is32By32WithAtMost256ColoursOnATransparentGround) {
  const QPixmap icon = ApplicationIconPixmap();
  ASSERT_EQ(icon.size(), QSize(32, 32));
  EXPECT_LE(Colours(icon).size(), 256u);
  const QImage pixels = Pixels(icon);
  EXPECT_EQ(qAlpha(pixels.pixel(0, 0)), 0);
  EXPECT_EQ(qAlpha(pixels.pixel(10, 20)), 255);
  EXPECT_TRUE(ApplicationIcon().availableSizes().contains(QSize(32, 32)));
}

class ImageButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto* layout = new QVBoxLayout(&m_window);
    m_other = new QLineEdit(&m_window);
    layout->addWidget(m_other);
    m_window.show();
    m_window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_window));
  }
  CImageButton* Add(const QString& caption) {
    auto* button = new CImageButton(caption, &m_window);
    m_window.layout()->addWidget(button);
    button->show();
    m_other->setFocus();
    return button;
  }

  QWidget m_window;
  QLineEdit* m_other = nullptr;
};

TEST_F(ImageButtonTest, TakesTheFixedSizeOfItsUpImage) {
  for (const QString& caption : kCaptions) {
    CImageButton* button = Add(caption);
    EXPECT_TRUE(button->HasImages());
    const QSize up = ButtonImage(caption.toUpper() + "U").size();
    EXPECT_EQ(button->minimumSize(), up);
    EXPECT_EQ(button->maximumSize(), up);
    EXPECT_EQ(button->size(), up);
  }
}

TEST_F(ImageButtonTest, PaintsTheImageOfItsState) {
  struct Case {
    const char* what;
    bool focus, down, enabled;
    const char* image;
  };
  const Case cases[] = {
      {"idle", false, false, true, "INFOU"},       {"pressed", false, true, true, "INFOD"},
      {"focused", true, false, true, "INFOF"},     {"focused and pressed", true, true, true, "INFOD"},
      {"disabled", false, false, false, "INFOU"},  {"disabled and down", false, true, false, "INFOU"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CImageButton* button = Add("Info");
    if (c.focus) button->setFocus();
    button->setEnabled(c.enabled);
    button->setDown(c.down);
    EXPECT_EQ(button->hasFocus(), c.focus);
    EXPECT_EQ(button->ImageName().toStdString(), c.image);
    EXPECT_TRUE(Pixels(button->grab()) == Pixels(ButtonImage(c.image)));
    delete button;
  }
}

TEST_F(ImageButtonTest, ClicksByMouseAndSpaceButNotWhileDisabled) {
  CImageButton* button = Add("Run");
  QSignalSpy clicked(button, &QAbstractButton::clicked);
  QTest::mousePress(button, Qt::LeftButton);
  EXPECT_EQ(button->ImageName().toStdString(), "RUND");
  QTest::mouseRelease(button, Qt::LeftButton);
  EXPECT_EQ(clicked.count(), 1);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(clicked.count(), 2);
  button->setFocus();
  QTest::keyClick(button, Qt::Key_Space);
  EXPECT_EQ(clicked.count(), 3);
  EXPECT_EQ(button->ImageName().toStdString(), "RUNF");
  button->setEnabled(false);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(clicked.count(), 3);
}

TEST_F(ImageButtonTest, WithoutImagesItIsAnOrdinaryButton) {
  CImageButton* button = Add("Close");
  EXPECT_FALSE(button->HasImages());
  EXPECT_TRUE(button->Image().isNull());
  EXPECT_EQ(button->text().toStdString(), "Close");
  EXPECT_GT(button->sizeHint().width(), button->fontMetrics().horizontalAdvance("Close"));
  EXPECT_NE(button->maximumSize(), button->sizeHint());
}
