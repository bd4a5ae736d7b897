// The window's log: lines kept as they came, one row each, selected and copied with the mouse and
// the keyboard, never changed by the user.
#include "app/LogView.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>

namespace {

class LogViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        log.resize(300, 120);
        log.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&log));
    }
    // A point inside `row` at `x` pixels from the left edge.
    QPoint At(qsizetype row, int x) const { return log.RowRect(row).topLeft() + QPoint(x, 2); }

    TLogView log;
};

TEST_F(LogViewTest, KeepsEachLineAsItCameOneRowEach)
{
    struct Row {
        const char* why;
        QStringList appended;
        QString text;    // toPlainText afterwards
        qsizetype lines; // rows afterwards
    };
    const Row rows[] = {
        {"nothing yet", {}, "", 0},
        {"two lines", {"a", "b"}, "a\nb", 2},
        {"a carriage return stays in its line", {"x\r", "\r\n"}, "x\r\n\r\n", 2},
        {"an empty line is a row", {"", "z"}, "\nz", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        log.clear();
        log.AppendLines(row.appended);
        EXPECT_EQ(log.toPlainText(), row.text);
        EXPECT_EQ(log.LineCount(), row.lines);
    }
    log.setPlainText("um\ndois");
    log.appendPlainText("tres");
    EXPECT_EQ(log.toPlainText(), "um\ndois\ntres");
}

TEST_F(LogViewTest, SelectsWithTheMouseAndTheKeyboardAndCopies)
{
    log.AppendLines({"primeira linha", "segunda linha", "terceira linha"});
    struct Row {
        const char* why;
        std::function<void()> select;
        QString selected;
    };
    const Row rows[] = {
        {"a drag from the start of one row into the next",
         [&] {
             QTest::mousePress(log.viewport(), Qt::LeftButton, {}, At(0, 1));
             QTest::mouseMove(log.viewport(), At(1, 1));
             QTest::mouseRelease(log.viewport(), Qt::LeftButton, {}, At(1, 1));
         },
         "primeira linha\n"},
        {"a double-click takes the whole row",
         [&] { QTest::mouseDClick(log.viewport(), Qt::LeftButton, {}, At(2, 10)); },
         "terceira linha"},
        {"select all", [&] { QTest::keySequence(&log, QKeySequence::SelectAll); },
         "primeira linha\nsegunda linha\nterceira linha"},
        {"shift and down from the start of the text",
         [&] {
             QTest::keySequence(&log, QKeySequence::MoveToStartOfDocument);
             QTest::keySequence(&log, QKeySequence::SelectNextLine);
         },
         "primeira linha\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        row.select();
        EXPECT_EQ(log.SelectedText(), row.selected);
        QTest::keySequence(&log, QKeySequence::Copy);
        EXPECT_EQ(QApplication::clipboard()->text(), row.selected);
    }
    // Typing changes nothing.
    QTest::keyClicks(&log, "xyz");
    EXPECT_EQ(log.toPlainText(), "primeira linha\nsegunda linha\nterceira linha");
}

TEST_F(LogViewTest, RowsUnderThePointerFollowTheScrolling)
{
    QStringList lines;
    for (int i = 0; i < 100; ++i) lines << QString("linha %1").arg(i);
    log.AppendLines(lines);
    // Appended while the end was in view: the end stays in view.
    QScrollBar* bar = log.verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    bar->setValue(50);
    EXPECT_EQ(log.RowAt({5, 1}), 50);
    // Scrolled up, the view stays where the user put it.
    log.AppendLines({"mais uma"});
    EXPECT_EQ(bar->value(), 50);
    bar->setValue(bar->maximum());
    EXPECT_EQ(log.RowAt(log.RowRect(log.LineCount()).center()), -1); // below the last line
}

TEST_F(LogViewTest, TheHorizontalRangeReachesTheEndOfTheLongestLine)
{
    const QString longest = QString(200, u'W');
    log.AppendLines({"curta", longest, "outra curta"});
    const int width = log.fontMetrics().horizontalAdvance(longest);
    EXPECT_GE(log.horizontalScrollBar()->maximum() + log.viewport()->width(), width);
}

} // namespace
