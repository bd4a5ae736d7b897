#include "app/LogView.h"

#include "platform/PrintableText.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace {

// The space between the frame and the text, as a plain-text editor keeps it.
constexpr int kMargin = 4;
// Control characters have their visible pictures from U+2400 on.
constexpr char16_t kControlPictures = 0x2400;
// DEL has a picture of its own; C1 controls have none, and a row must keep one character for
// each (a selection counts characters), so they show as the replacement character.
constexpr char16_t kDeletePicture = 0x2421;
constexpr char16_t kReplacement = 0xFFFD;

} // namespace

TLogView::TLogView(QWidget* parent) : QAbstractScrollArea(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    verticalScrollBar()->setSingleStep(1);
    UpdateScrollBars();
}

// --- The lines ------------------------------------------------------------------------------

QString TLogView::toPlainText() const
{
    qsizetype length = 0;
    for (const QString& line : lines_) length += line.size() + 1;
    QString text;
    text.reserve(length);
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (i > 0) text += u'\n';
        text += lines_[i];
    }
    return text;
}

void TLogView::setPlainText(const QString& text)
{
    clear();
    if (!text.isEmpty()) appendPlainText(text);
}

void TLogView::appendPlainText(const QString& text) { AppendLines(text.split(u'\n')); }

void TLogView::AppendLines(const QStringList& lines)
{
    if (lines.isEmpty()) return;
    // A view that shows the end keeps showing it as lines come, as a plain-text editor does.
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    const size_t from = lines_.size();
    lines_.insert(lines_.end(), lines.begin(), lines.end());
    NoteLengths(from);
    UpdateScrollBars();
    if (atEnd) bar->setValue(bar->maximum());
    viewport()->update();
}

void TLogView::clear()
{
    released_.Take(lines_);
    longestLength_ = 0;
    widest_ = 0;
    anchor_ = cursor_ = Place{};
    selecting_ = false;
    UpdateScrollBars();
    horizontalScrollBar()->setValue(0);
    viewport()->update();
}

// --- Geometry -------------------------------------------------------------------------------

int TLogView::RowHeight() const { return std::max(1, fontMetrics().lineSpacing()); }

int TLogView::RowsOnScreen() const { return std::max(1, viewport()->height() / RowHeight()); }

qsizetype TLogView::FirstRowShown() const { return verticalScrollBar()->value(); }

qsizetype TLogView::RowAt(const QPoint& position) const
{
    if (position.y() < 0) return -1;
    const qsizetype row = FirstRowShown() + position.y() / RowHeight();
    return row < LineCount() ? row : -1;
}

QRect TLogView::RowRect(qsizetype row) const
{
    const int top = static_cast<int>(row - FirstRowShown()) * RowHeight();
    return {0, top, viewport()->width(), RowHeight()};
}

QString TLogView::Shown(const QString& line)
{
    QString shown = line;
    for (QChar& c : shown)
        if (c.unicode() < 0x20)
            c = QChar(static_cast<char16_t>(kControlPictures + c.unicode()));
        else if (platform::IsControlCharacter(c.unicode()))
            c = QChar(c.unicode() == 0x7F ? kDeletePicture : kReplacement);
    return shown;
}

int TLogView::XOfColumn(qsizetype row, qsizetype column) const
{
    return fontMetrics().horizontalAdvance(Shown(Line(row).left(column)));
}

TLogView::Place TLogView::PlaceAt(const QPoint& position) const
{
    if (lines_.empty()) return {};
    const qsizetype row = std::clamp<qsizetype>(
        FirstRowShown() + (position.y() < 0 ? -1 : position.y() / RowHeight()), 0, LineCount() - 1);
    const QString shown = Shown(Line(row));
    const int x = position.x() + horizontalScrollBar()->value() - kMargin;
    // The boundary between characters nearest to x.
    qsizetype low = 0;
    qsizetype high = shown.size();
    const QFontMetrics metrics = fontMetrics();
    while (low < high) {
        const qsizetype middle = (low + high) / 2;
        if (metrics.horizontalAdvance(shown.left(middle + 1)) <= x)
            low = middle + 1;
        else
            high = middle;
    }
    if (low < shown.size()) {
        const int before = metrics.horizontalAdvance(shown.left(low));
        const int after = metrics.horizontalAdvance(shown.left(low + 1));
        if (x - before > after - x) ++low;
    }
    return {row, low};
}

void TLogView::NoteLengths(size_t from)
{
    // Measuring every line would cost as much as a document does; the longest in characters is
    // measured, and rows that turn out wider when drawn widen the range themselves.
    for (size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].size() <= longestLength_) continue;
        longestLength_ = lines_[i].size();
        NoteWidth(fontMetrics().horizontalAdvance(Shown(lines_[i])));
    }
}

void TLogView::NoteWidth(int width)
{
    if (width <= widest_) return;
    widest_ = width;
    QScrollBar* bar = horizontalScrollBar();
    bar->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
}

void TLogView::UpdateScrollBars()
{
    QScrollBar* rows = verticalScrollBar();
    const int page = RowsOnScreen();
    rows->setRange(0, static_cast<int>(std::max<qsizetype>(0, LineCount() - page)));
    rows->setPageStep(page);
    QScrollBar* columns = horizontalScrollBar();
    columns->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
    columns->setPageStep(viewport()->width());
    columns->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
}

// --- Drawing --------------------------------------------------------------------------------

void TLogView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    const QPalette& colors = palette();
    const int height = RowHeight();
    const int ascent = fontMetrics().ascent();
    const int left = kMargin - horizontalScrollBar()->value();
    const Place from = std::min(anchor_, cursor_);
    const Place to = std::max(anchor_, cursor_);
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    const qsizetype first = FirstRowShown();
    const qsizetype last = std::min(LineCount(), first + RowsOnScreen() + 1);
    for (qsizetype row = first; row < last; ++row) {
        const int top = static_cast<int>(row - first) * height;
        const QString shown = Shown(Line(row));
        NoteWidth(fontMetrics().horizontalAdvance(shown));
        painter.setPen(colors.color(group, QPalette::Text));
        painter.drawText(left, top + ascent, shown);
        if (!HasSelection() || row < from.row || row > to.row) continue;
        // The selected part of the row, drawn again in the selection's colours.
        const int start = row == from.row ? XOfColumn(row, from.column) : 0;
        int end =
            row == to.row ? XOfColumn(row, to.column) : fontMetrics().horizontalAdvance(shown);
        // A row selected through its end shows that its line end is selected too.
        if (row != to.row) end += fontMetrics().averageCharWidth();
        const QRect selected(left + start, top, end - start, height);
        painter.fillRect(selected, colors.brush(group, QPalette::Highlight));
        painter.save();
        painter.setClipRect(selected);
        painter.setPen(colors.color(group, QPalette::HighlightedText));
        painter.drawText(left, top + ascent, shown);
        painter.restore();
    }
}

void TLogView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void TLogView::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() != QEvent::FontChange) return;
    // Widths and the row height are the new font's now.
    widest_ = 0;
    longestLength_ = 0;
    NoteLengths(0);
    UpdateScrollBars();
}

void TLogView::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TLogView::focusOutEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

// --- Selecting and copying ------------------------------------------------------------------

QString TLogView::SelectedText() const
{
    if (!HasSelection()) return {};
    const Place from = std::min(anchor_, cursor_);
    const Place to = std::max(anchor_, cursor_);
    if (from.row == to.row) return Line(from.row).mid(from.column, to.column - from.column);
    QString text = Line(from.row).mid(from.column);
    for (qsizetype row = from.row + 1; row < to.row; ++row) text += u'\n' + Line(row);
    return text + u'\n' + Line(to.row).left(to.column);
}

void TLogView::selectAll()
{
    if (lines_.empty()) return;
    anchor_ = {0, 0};
    cursor_ = {LineCount() - 1, Line(LineCount() - 1).size()};
    SelectionChanged();
}

void TLogView::copy() const
{
    if (HasSelection()) QApplication::clipboard()->setText(SelectedText());
}

void TLogView::SelectionChanged()
{
    QClipboard* clipboard = QApplication::clipboard();
    if (HasSelection() && clipboard->supportsSelection())
        clipboard->setText(SelectedText(), QClipboard::Selection);
    viewport()->update();
}

void TLogView::MoveCursor(Place to, bool extend)
{
    if (lines_.empty()) return;
    to.row = std::clamp<qsizetype>(to.row, 0, LineCount() - 1);
    to.column = std::clamp<qsizetype>(to.column, 0, Line(to.row).size());
    cursor_ = to;
    if (!extend) anchor_ = to;
    EnsureVisible(cursor_);
    SelectionChanged();
}

void TLogView::EnsureVisible(Place place)
{
    QScrollBar* rows = verticalScrollBar();
    if (place.row < rows->value()) rows->setValue(static_cast<int>(place.row));
    const qsizetype lastFull = rows->value() + RowsOnScreen() - 1;
    if (place.row > lastFull) rows->setValue(static_cast<int>(place.row - RowsOnScreen() + 1));
    QScrollBar* columns = horizontalScrollBar();
    const int x = XOfColumn(place.row, place.column) + kMargin;
    if (x < columns->value()) columns->setValue(std::max(0, x - kMargin));
    if (x > columns->value() + viewport()->width() - kMargin)
        columns->setValue(x - viewport()->width() + kMargin);
}

void TLogView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    selecting_ = true;
    MoveCursor(PlaceAt(event->position().toPoint()),
               event->modifiers().testFlag(Qt::ShiftModifier));
}

void TLogView::mouseMoveEvent(QMouseEvent* event)
{
    if (!selecting_ || !event->buttons().testFlag(Qt::LeftButton)) return;
    // Dragging past the edge scrolls on, as far as the pointer goes.
    MoveCursor(PlaceAt(event->position().toPoint()), true);
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) return;
    const qsizetype row = RowAt(event->position().toPoint());
    if (row < 0) return;
    // The whole line: in a listing, that is one entry.
    anchor_ = {row, 0};
    cursor_ = {row, Line(row).size()};
    selecting_ = false;
    SelectionChanged();
}

void TLogView::keyPressEvent(QKeyEvent* event)
{
    if (event == QKeySequence::Copy) return copy();
    if (event == QKeySequence::SelectAll) return selectAll();
    struct Move {
        QKeySequence::StandardKey plain;
        QKeySequence::StandardKey extending;
        Place (*to)(const TLogView& view, Place from);
    };
    static const Move kMoves[] = {
        {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar,
         [](const TLogView& v, Place p) {
             if (p.column < v.Line(p.row).size()) return Place{p.row, p.column + 1};
             return p.row + 1 < v.LineCount() ? Place{p.row + 1, 0} : p;
         }},
        {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar,
         [](const TLogView& v, Place p) {
             if (p.column > 0) return Place{p.row, p.column - 1};
             return p.row > 0 ? Place{p.row - 1, v.Line(p.row - 1).size()} : p;
         }},
        {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine,
         [](const TLogView&, Place p) {
             return Place{p.row + 1, p.column};
         }},
        {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine,
         [](const TLogView&, Place p) {
             return Place{p.row - 1, p.column};
         }},
        {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage,
         [](const TLogView& v, Place p) {
             return Place{p.row + v.RowsOnScreen(), p.column};
         }},
        {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage,
         [](const TLogView& v, Place p) {
             return Place{p.row - v.RowsOnScreen(), p.column};
         }},
        {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine,
         [](const TLogView&, Place p) {
             return Place{p.row, 0};
         }},
        {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine,
         [](const TLogView& v, Place p) {
             return Place{p.row, v.Line(p.row).size()};
         }},
        {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument,
         [](const TLogView&, Place) { return Place{}; }},
        {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument,
         [](const TLogView& v, Place) {
             return Place{v.LineCount() - 1, v.Line(v.LineCount() - 1).size()};
         }},
    };
    for (const Move& move : kMoves) {
        const bool plain = event == move.plain;
        if (!plain && event != move.extending) continue;
        if (!lines_.empty()) MoveCursor(move.to(*this, cursor_), !plain);
        return;
    }
    // Nothing else: the log is read-only.
    event->ignore();
}

void TLogView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    QAction* copyAction = menu.addAction(QStringLiteral("Copiar"), this, &TLogView::copy);
    copyAction->setEnabled(HasSelection());
    QAction* all = menu.addAction(QStringLiteral("Selecionar tudo"), this, &TLogView::selectAll);
    all->setEnabled(!lines_.empty());
    menu.exec(event->globalPos());
}
