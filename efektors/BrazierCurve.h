#pragma once

// The curve editor of the curve efektor: a chain of nodes from the left edge to the right edge,
// joined by cubic or straight segments, drawn over a dark background divided into the loop's
// musical sections, with a play bar at the current loop position.
//
// Nodes live in a unit square of 1000 × 1000 (X to the right, Y downwards) independent of the
// widget's pixel size; the curve's value is 1 − Y/1000, so the top edge is 1 and the bottom 0.
//
// Threads: everything here runs on the GUI thread except SetPlayBarPos and GetCurrentValue,
// which the efektor calls on the engine's timer thread. The splines are generated on the GUI
// thread and published as an immutable set through an atomic pointer; the timer thread only
// evaluates a published set, so it never generates a spline nor sees one being rebuilt.

#include "spline.h"

#include <QLabel>
#include <QList>
#include <QPixmap>

#include <atomic>
#include <memory>
#include <vector>

class QTextStream;

class BrazierCurve : public QLabel {
    Q_OBJECT

public:
    using Spline_type = magnet::math::Spline::Spline_type;
    static constexpr Spline_type LINEAR = magnet::math::Spline::LINEAR;
    static constexpr Spline_type CUBIC = magnet::math::Spline::CUBIC;

    // Units per width and per height.
    static constexpr int resolution = 1000;
    // A press this close (in units, both directions) to a node picks it up.
    static constexpr double selectDistance = 34.0;
    // A double click this close (in units, both directions) to a node toggles its kind.
    static constexpr double toggleDistance = 32.0;
    // A dragged node keeps at least this many pixels from its neighbours.
    static constexpr int nodeGap = 9;
    // Most nodes a chain may hold (a drawn curve holds tens; a file cannot ask for millions).
    static constexpr int maxNodes = 2000;

    struct Node {
        double X;         // 0 … 1000, to the right
        double Y;         // 0 … 1000, downwards
        Spline_type kind; // kind of the segment that starts at this node
        bool operator==(const Node&) const = default;
    };

    explicit BrazierCurve(QWidget* parent = nullptr);
    ~BrazierCurve() override;

    // Replaces the chain with two cubic nodes at mid height on the left and right edges.
    void InitNodePoints();
    // Inserts a node at a pixel position (after any node with the same X) and selects it.
    void AddNode(int px, int py, Spline_type kind);
    // Rebuilds the splines from the nodes, publishes them for the timer thread and repaints.
    void CreateSplines();

    // TIMER THREAD: the curve's value (0 … 1) at the play bar; 1.0 where no spline covers it.
    // Reads the published spline set only: no allocation, no lock, no I/O, no Qt call.
    double GetCurrentValue() const;
    // TIMER THREAD: stores the play bar position (fraction of the width); no repaint.
    void SetPlayBarPos(double position) { playBarPosition.store(position, std::memory_order_relaxed); }
    double playBarPos() const { return playBarPosition.load(std::memory_order_relaxed); }

    // Number of vertical section lines + 1; repaints with a fresh background.
    void SetSectionAmount(int sections);
    int sectionAmount() const { return sectionCount; }

    // The node chain in the project file: the count, then per node its pixel x and y (decimals)
    // and its kind (0 linear, 1 cubic), one item per line.
    void SaveNodes(QTextStream* stream) const;
    // Reads a chain written by SaveNodes into this editor's pixels. A chain that is missing,
    // truncated, holds non-numbers, fewer than two nodes or an unknown kind leaves the editor
    // with the chain it had and returns false; positions off the widget are pulled onto it.
    bool LoadNodes(QTextStream* stream);
    // Copies another editor's chain (by units, so the copy is the same curve at any size).
    void LoadNodes(const BrazierCurve* other);

    // A node as the project file holds it: pixel position in this editor, kind 0 or 1.
    struct PixelNode {
        double px;
        double py;
        int kind;
    };
    // Replaces the chain by nodes at pixel positions (pulled onto the widget, truncated to whole
    // pixels) and rebuilds the splines. Fewer than two nodes, more than maxNodes, a position
    // that is not a finite number or an unknown kind leave the chain as it was: false.
    bool SetNodesFromPixels(const std::vector<PixelNode>& pixelNodes);

    // The editing keys: Backspace or Delete removes the selected node (never one of the two end
    // nodes, and never below two nodes); every key rebuilds the splines. True when the key is
    // one of the two.
    bool keyTyped(int key);

    const QList<Node>& nodes() const { return nodeList; }
    // Replaces the chain by `chain` (units, as nodes() gives it) and rebuilds the splines; what
    // undo and redo of an edit use. A chain of fewer than two nodes is refused.
    void setNodes(const QList<Node>& chain);

signals:
    // One finished edit by the user (a press with its drag, a double click, a removed node),
    // with the chain before and after it; an edit that changed nothing is not reported.
    void edited(const QList<BrazierCurve::Node>& before, const QList<BrazierCurve::Node>& after);

public:
    int selectedNode() const { return selected; }
    // Splines of the published set (GUI thread).
    std::size_t splineCount() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Generated splines, never changed once published.
    struct SplineSet {
        // Evaluating a generated spline only reads it, but Spline's evaluation is not const.
        mutable std::vector<magnet::math::Spline> splines;
        // Value at unit position t from the first spline that covers t; false when none does.
        bool valueAt(double t, double& value) const;
    };

    // Readers announce themselves so that a retired set is freed only when none can hold it.
    class ReadGuard;

    void publish(SplineSet* fresh);
    void reclaimRetired();
    void drawBackground();
    double unitsFromPixelX(double px) const;
    double unitsFromPixelY(double py) const;
    int pixelX(double X) const;
    int pixelY(double Y) const;
    int insertNode(Node node);
    void beginEdit();
    void endEdit();

    bool backgroundDirty = true;
    QPixmap background;
    int selected = -1;
    int pressX = 0;
    int pressY = 0;
    int sectionCount = 4;
    QList<Node> nodeList;
    // The chain when the user's current edit began, while one is open.
    QList<Node> editStart;
    bool editOpen = false;
    std::atomic<double> playBarPosition{0.0};

    std::atomic<SplineSet*> published{nullptr};
    mutable std::atomic<int> readers{0};
    std::vector<std::unique_ptr<SplineSet>> retired;
    static constexpr std::size_t maxRetired = 64;
};
