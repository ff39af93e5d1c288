#include "TextProgressWidget.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QPalette>
#include <QtTest/QTest>
#include <set>

namespace {

// Not a colour the control ever paints: what is still this colour was not drawn.
const QRgb kUntouched = qRgb(1, 2, 3);

struct TextProgressWidgetTest : ::testing::Test {
  TextProgressWidgetTest() {
    // Hard-edged glyphs, so that every text pixel is exactly one of the two text colours.
    QFont f = widget.font();
    f.setStyleStrategy(QFont::NoAntialias);
    widget.setFont(f);
    widget.resize(200, 30);
  }

  // What one paint draws, on top of an image of kUntouched.
  QImage Render() {
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(kUntouched);
    widget.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
  }

  QImage RenderWithText(const char* text) {
    widget.SetWindowText(text);
    QImage image = Render();
    widget.SetWindowText(nullptr);
    return image;
  }

  void UseColours(uint32_t bar, uint32_t back, uint32_t barText, uint32_t backText) {
    widget.Ctrl().SetBarColor(bar);
    widget.Ctrl().SetBackColor(back);
    widget.Ctrl().SetBarTextColor(barText);
    widget.Ctrl().SetBackTextColor(backText);
  }

  CTextProgressWidget widget;
};

QRgb Rgb(uint32_t bgr) { return CTextProgressWidget::ToQColor(bgr).rgb(); }

std::set<QRgb> ColoursIn(const QImage& image, int x0, int x1) {
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); ++y)
    for (int x = x0; x < x1; ++x) colours.insert(image.pixel(x, y));
  return colours;
}

TEST_F(TextProgressWidgetTest, FreshControlDrawsAnEmptyBarWithZeroPercentInHighlight) {
  const QRgb highlight = widget.palette().color(QPalette::Highlight).rgb();
  const QRgb base = widget.palette().color(QPalette::Base).rgb();
  ASSERT_NE(highlight, base);
  const QImage image = Render();
  EXPECT_EQ(ColoursIn(image, 0, image.width()), (std::set<QRgb>{highlight, base}));
  // Text pixels centred on the control.
  int left = image.width(), right = -1, top = image.height(), bottom = -1;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) == highlight) {
        left = std::min(left, x), right = std::max(right, x);
        top = std::min(top, y), bottom = std::max(bottom, y);
      }
  EXPECT_NEAR(left + right, image.width(), 4);
  EXPECT_NEAR(top + bottom, image.height(), 6);
  EXPECT_EQ(image, RenderWithText("0%"));
  EXPECT_NE(image, RenderWithText("8%"));
}

TEST_F(TextProgressWidgetTest, FilledWidthIsTheTruncatedFractionOfTheWidth) {
  const QRgb bar = Rgb(widget.Ctrl().GetBarColor());
  const QRgb back = Rgb(widget.Ctrl().GetBackColor());
  widget.SetRange(0, 3);
  struct Case {
    int pos;
    int edge;
    const char* text;
  };
  for (const Case& c : {Case{1, 66, "33%"}, Case{2, 133, "66%"}, Case{3, 200, "100%"}}) {
    widget.SetPos(c.pos);
    const QImage image = Render();
    for (int y : {0, image.height() - 1}) {  // rows the centred text does not reach
      for (int x = 0; x < image.width(); ++x)
        ASSERT_EQ(image.pixel(x, y), x < c.edge ? bar : back) << c.pos << " x=" << x << " y=" << y;
    }
    EXPECT_EQ(image, RenderWithText(c.text)) << c.pos;
  }
}

TEST_F(TextProgressWidgetTest, TextTakesTheBarTextColourLeftOfTheEdgeAndBackTextRight) {
  const uint32_t red = 0x0000FF, white = 0xFFFFFF, green = 0x00FF00, blue = 0xFF0000;
  UseColours(red, white, green, blue);
  widget.SetWindowText("Downloading completed 50%");
  widget.SetPos(50);
  const QImage split = Render();
  EXPECT_EQ(ColoursIn(split, 0, 100), (std::set<QRgb>{Rgb(red), Rgb(green)}));
  EXPECT_EQ(ColoursIn(split, 100, 200), (std::set<QRgb>{Rgb(white), Rgb(blue)}));
  // A character cut by the edge: text on both sides of it.
  EXPECT_TRUE(ColoursIn(split, 96, 100).count(Rgb(green)));
  EXPECT_TRUE(ColoursIn(split, 100, 104).count(Rgb(blue)));
  // The two clipped halves together are the text drawn in one piece.
  widget.SetPos(0);
  const QImage whole = Render();
  for (int y = 0; y < whole.height(); ++y)
    for (int x = 0; x < whole.width(); ++x) {
      const bool inText = split.pixel(x, y) == Rgb(green) || split.pixel(x, y) == Rgb(blue);
      ASSERT_EQ(inText, whole.pixel(x, y) == Rgb(blue)) << x << "," << y;
    }
}

TEST_F(TextProgressWidgetTest, LongTextIsClippedAtTheEdgesOnOneLine) {
  widget.resize(60, 80);
  widget.SetWindowText("Downloading completed 50% and more words");
  const QRgb text = Rgb(widget.Ctrl().GetBackTextColor());
  const QImage image = Render();
  int top = image.height(), bottom = -1;
  bool atLeft = false, atRight = false;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) == text) {
        top = std::min(top, y), bottom = std::max(bottom, y);
        atLeft |= x < 3, atRight |= x >= image.width() - 3;
      }
  EXPECT_TRUE(atLeft && atRight);
  ASSERT_GE(bottom, top);
  EXPECT_LE(bottom - top + 1, QFontMetrics(widget.font()).height());
  EXPECT_FALSE(ColoursIn(image, 0, image.width()).count(kUntouched));
}

TEST_F(TextProgressWidgetTest, EmptyOrReversedRangeDrawsNothing) {
  struct Range {
    int lower, upper;
  };
  for (Range r : {Range{0, 0}, Range{7, 7}, Range{5, 1}}) {
    widget.SetRange(r.lower, r.upper);
    widget.SetPos(3);
    const int paints = widget.PaintCount();
    const QImage image = Render();
    EXPECT_EQ(widget.PaintCount(), paints + 1);
    EXPECT_EQ(ColoursIn(image, 0, image.width()), std::set<QRgb>{kUntouched})
        << r.lower << ".." << r.upper;
  }
}

TEST_F(TextProgressWidgetTest, RepaintsAtOnceAndOnlyWhenTheEdgeMoves) {
  widget.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
  QCoreApplication::processEvents();
  widget.SetRange(0, 1000);  // 200 px: one pixel every 5 positions
  const int start = widget.PaintCount();
  widget.SetPos(1);
  EXPECT_EQ(widget.PaintCount(), start + 1);  // painted before SetPos returned
  widget.SetPos(2);
  EXPECT_EQ(widget.PaintCount(), start + 1);
  widget.SetPos(5);
  EXPECT_EQ(widget.PaintCount(), start + 2);

  widget.resize(300, 30);  // 5 still gives one pixel, but a resize forces the next one
  QCoreApplication::processEvents();
  const int resized = widget.PaintCount();
  widget.SetPos(5);
  EXPECT_EQ(widget.PaintCount(), resized + 1);
  widget.SetPos(5);
  EXPECT_EQ(widget.PaintCount(), resized + 1);
}

}  // namespace
