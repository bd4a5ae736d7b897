#pragma once
// The window's log: a read-only list of text lines with scroll bars, in which the user can select
// text with the mouse or the keyboard and copy it, but change nothing.
//
// A listing may bring a hundred thousand lines. A text document would build a paragraph for each
// of them, which costs more than everything else a listing does; this view keeps the lines as
// they are, one row each, and lays out only the rows on screen. Appending a line so costs what
// keeping its text costs, and clearing the log costs nothing.
//
// The lines are shown as they are but for control characters (a carriage return, a tab), which
// are shown as their visible pictures, so that one line is always one row; the texts given back
// (toPlainText, a copy) are the lines as they were appended.
#include "app/DeferredRelease.h"

#include <QAbstractScrollArea>
#include <QString>
#include <QStringList>

#include <vector>

class TLogView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit TLogView(QWidget* parent = nullptr);

    // The lines joined by line feeds.
    QString toPlainText() const;
    // The text's lines, split at line feeds, in place of all others.
    void setPlainText(const QString& text);
    // The text's lines, split at line feeds, after the last one.
    void appendPlainText(const QString& text);
    // Each text as one line, whatever it holds, after the last one.
    void AppendLines(const QStringList& lines);
    void clear();

    qsizetype LineCount() const { return static_cast<qsizetype>(lines_.size()); }
    const QString& Line(qsizetype row) const { return lines_[static_cast<size_t>(row)]; }
    // The row shown at `position` of the viewport; -1 where no line is.
    qsizetype RowAt(const QPoint& position) const;
    // Where the row is shown, in the viewport's coordinates (outside it when scrolled away).
    QRect RowRect(qsizetype row) const;

    QString SelectedText() const;
    void selectAll();
    // The selected text to the clipboard.
    void copy() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // A place in the text: a row and the number of characters before it in that row.
    struct Place {
        qsizetype row = 0;
        qsizetype column = 0;
        auto operator<=>(const Place&) const = default;
    };

    int RowHeight() const;
    int RowsOnScreen() const;
    qsizetype FirstRowShown() const;
    // The text as drawn: control characters by their pictures.
    static QString Shown(const QString& line);
    Place PlaceAt(const QPoint& position) const;
    // The x offset (in text pixels) of `column` in the row.
    int XOfColumn(qsizetype row, qsizetype column) const;
    // Keeps the widest row in mind; the horizontal range grows to show it.
    void NoteWidth(int width);
    void NoteLengths(size_t from);
    void UpdateScrollBars();
    void MoveCursor(Place to, bool extend);
    void EnsureVisible(Place place);
    void SelectionChanged();
    bool HasSelection() const { return anchor_ != cursor_; }

    std::vector<QString> lines_;
    app::DeferredRelease<QString> released_; // lines cleared away, freed a slice at a time
    // The longest line in characters and the widest row seen in pixels: the horizontal range
    // covers the longest line's width estimated from the font, and any row drawn wider.
    qsizetype longestLength_ = 0;
    int widest_ = 0;
    Place anchor_;
    Place cursor_;
    bool selecting_ = false; // the mouse is selecting
};
