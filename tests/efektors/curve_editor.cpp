// The curve editor: node picking and dragging by mouse, the editing keys, the value read at the
// play bar, the node chain in the project file, the drawing, and evaluation on one thread while
// another rebuilds the splines.
#include "BrazierCurve.h"

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextStream>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace {

using PixelNode = BrazierCurve::PixelNode;

void mouse(BrazierCurve& editor, QEvent::Type type, int x, int y, Qt::MouseButtons held = Qt::LeftButton) {
    const QPointF at(x, y);
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, at, editor.mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(&editor, &event);
}

// Sizes the editor and sets its nodes in its pixels.
bool shaped(BrazierCurve& editor, int width, int height, const std::vector<PixelNode>& nodes) {
    editor.resize(width, height);
    return editor.SetNodesFromPixels(nodes);
}

void press(BrazierCurve& editor, int x, int y) {
    mouse(editor, QEvent::MouseButtonPress, x, y);
}
void drag(BrazierCurve& editor, int x, int y) {
    mouse(editor, QEvent::MouseMove, x, y);
}

void key(BrazierCurve& editor, int code) {
    QKeyEvent event(QEvent::KeyPress, code, Qt::NoModifier);
    QApplication::sendEvent(&editor, &event);
}

// Pixel positions of the nodes, as the editor shows them.
std::vector<std::pair<int, int>> pixels(const BrazierCurve& editor) {
    std::vector<std::pair<int, int>> out;
    for (const BrazierCurve::Node& n : editor.nodes())
        out.emplace_back(static_cast<int>(std::lround(editor.width() * n.X / 1000.0)),
                         static_cast<int>(std::lround(editor.height() * n.Y / 1000.0)));
    return out;
}

// Reads a node chain as the project file holds it.
bool loadChain(BrazierCurve& editor, QString chain) {
    QTextStream in(&chain);
    return editor.LoadNodes(&in);
}

double valueAt(BrazierCurve& editor, double position) {
    editor.SetPlayBarPos(position);
    return editor.GetCurrentValue();
}

} // namespace

TEST(CurveEditor, ThePlayBarReadsTheCurveAtWholeUnitsAcrossAChangeOfKind) {
    using Readings = std::initializer_list<std::pair<double, double>>; // position, value
    BrazierCurve editor;
    // A straight ramp from the bottom left to the top right: value = unit / 1000, so 0.9995 reads
    // unit 999, not 999.5. Off the curve (beyond either edge, or not a number) reads the top.
    ASSERT_TRUE(shaped(editor, 1000, 1000, {{0, 1000, 0}, {1000, 0, 0}}));
    const Readings ramp{{0.9995, 0.999}, {0.625, 0.625}, {0.0, 0.0}, {1.0, 1.0},
                        {1.5, 1.0},      {-0.01, 1.0},   {NAN, 1.0}};
    for (auto [position, value] : ramp)
        EXPECT_DOUBLE_EQ(valueAt(editor, position), value) << position;

    // A change of kind ends one spline at the node that starts the next: cubic up to the linear
    // node at 400 (the shared node), straight from there to the end at 1000.
    ASSERT_TRUE(shaped(editor, 1000, 1000, {{0, 800, 1}, {400, 200, 0}, {1000, 800, 1}}));
    EXPECT_EQ(editor.splineCount(), 2u);
    for (auto [position, value] : Readings{{0.4, 0.8}, {0.7, 0.5}, {0.0, 0.2}})
        EXPECT_DOUBLE_EQ(valueAt(editor, position), value) << position;
    // The straight part ends on the last node's height.
    EXPECT_NEAR(valueAt(editor, 0.999), 0.2 + 0.6 * 1.0 / 600.0, 1e-12);
}

TEST(CurveEditor, MouseAndKeysPickAddSwitchDragAndRemoveNodes) {
    BrazierCurve editor;
    // 2 pixels per unit across, 4 down: a press picks a node closer than 34 units both ways.
    ASSERT_TRUE(shaped(editor, 500, 250, {{0, 125, 1}, {250, 125, 1}, {500, 125, 1}}));
    press(editor, 266, 133); // 32 units right, 32 down
    EXPECT_EQ(editor.selectedNode(), 1);
    press(editor, 267, 125); // 34 units: too far, a new curved node
    ASSERT_EQ(editor.nodes().size(), 4);
    EXPECT_TRUE(editor.selectedNode() == 2 && editor.nodes()[2].X == 534.0 &&
                editor.nodes()[2].kind == BrazierCurve::CUBIC);

    // A double click switches a node between curved and straight, but not the last one.
    mouse(editor, QEvent::MouseButtonDblClick, 250, 125);
    EXPECT_EQ(editor.nodes()[1].kind, BrazierCurve::LINEAR);
    EXPECT_EQ(editor.splineCount(), 3u); // cubic, straight, cubic
    mouse(editor, QEvent::MouseButtonDblClick, 499, 125);
    EXPECT_EQ(editor.nodes()[3].kind, BrazierCurve::CUBIC);

    // Backspace removes the selected inner node and the splines follow at once; the ends stay.
    press(editor, 267, 125);
    key(editor, Qt::Key_Backspace);
    EXPECT_TRUE(editor.nodes().size() == 3 && editor.selectedNode() == -1);
    press(editor, 0, 125);
    key(editor, Qt::Key_Delete);
    EXPECT_EQ(editor.nodes().size(), 3);
}

TEST(CurveEditor, ADraggedNodeKeepsNinePixelsFromItsNeighboursAndTheEndsMoveOnlyVertically) {
    BrazierCurve editor;
    ASSERT_TRUE(shaped(editor, 400, 200, {{0, 100, 1}, {100, 100, 1}, {200, 100, 1}, {400, 100, 1}}));

    press(editor, 100, 100);
    ASSERT_EQ(editor.selectedNode(), 1);
    drag(editor, 130, 60); // by the travel since the press
    EXPECT_EQ(pixels(editor)[1], std::make_pair(130, 60));
    drag(editor, 300, 60); // far past the next node at 200
    EXPECT_EQ(pixels(editor)[1].first, 191);
    drag(editor, 130, 60); // travel is measured from the last move, not from the clamped spot
    EXPECT_EQ(pixels(editor)[1].first, 21);
    drag(editor, -200, -500);
    EXPECT_EQ(pixels(editor)[1], std::make_pair(9, 1)); // the first node sits at 0; never off the top
    EXPECT_EQ(pixels(editor)[2], std::make_pair(200, 100)); // neighbours stay put

    press(editor, 398, 100);
    ASSERT_EQ(editor.selectedNode(), 3);
    drag(editor, 200, 170);
    EXPECT_EQ(pixels(editor)[3], std::make_pair(400, 170));
    // Without a held button a move does nothing.
    mouse(editor, QEvent::MouseMove, 100, 100, Qt::NoButton);
    EXPECT_EQ(pixels(editor)[3], std::make_pair(400, 170));
}

TEST(CurveEditor, EachFinishedEditIsReportedOnceWithTheChainsBeforeAndAfter) {
    BrazierCurve editor;
    editor.resize(1000, 1000);
    editor.InitNodePoints();
    QList<QList<BrazierCurve::Node>> chains;
    QObject::connect(&editor, &BrazierCurve::edited, [&](const auto& before, const auto& after) { chains << before << after; });
    const auto click = [&](QEvent::Type type, int x, int y, int dragBy = 0) {
        mouse(editor, type, x, y);
        if (dragBy)
            drag(editor, x + dragBy, y + dragBy);
        mouse(editor, QEvent::MouseButtonRelease, x, y, Qt::NoButton);
    };
    click(QEvent::MouseButtonPress, 500, 200, 40); // a new node, dragged: one edit
    click(QEvent::MouseButtonPress, 0, 500);       // picked and let go: none
    click(QEvent::MouseButtonPress, 540, 240);
    key(editor, Qt::Key_Delete);
    click(QEvent::MouseButtonDblClick, 0, 500);
    ASSERT_EQ(chains.size(), 6);
    EXPECT_TRUE(chains[0].size() == 2 && chains[1] == chains[2] && chains[1][1].X == 540.0);
    EXPECT_TRUE(chains[3] == chains[0] && chains[5][0].kind == BrazierCurve::LINEAR);
    editor.setNodes(chains[1]); // what undo does
    EXPECT_NEAR(valueAt(editor, 0.54), 0.76, 1e-9);
}

// (Writing the chain is checked byte for byte through project files.)
TEST(CurveEditor, TheNodeChainIsReadBackTruncatedAtTheReadersSizeAndCopiedAtAnySize) {
    BrazierCurve editor;
    editor.resize(500, 200);
    ASSERT_TRUE(loadChain(editor, "3\n0\n50\n1\n412.5\n150.9\n0\n500\n100\n1\n"));
    EXPECT_TRUE(pixels(editor)[1] == std::make_pair(412, 150) && editor.nodes()[1].kind == BrazierCurve::LINEAR);
    // Read by a larger editor, the same pixels are a narrower curve.
    BrazierCurve wide;
    wide.resize(1000, 400);
    ASSERT_TRUE(loadChain(wide, "2\n0\n50\n1\n500\n100\n1\n"));
    EXPECT_TRUE(wide.nodes()[1].X == 500.0 && wide.nodes()[1].Y == 250.0);
    // A copy is the same curve at any size.
    BrazierCurve copy;
    copy.resize(300, 100);
    copy.LoadNodes(&editor);
    ASSERT_EQ(copy.nodes().size(), 3);
    EXPECT_DOUBLE_EQ(valueAt(copy, 0.3), valueAt(editor, 0.3));
}

TEST(CurveEditor, ABrokenChainLeavesTheCurveAsItWas) {
    BrazierCurve editor;
    editor.resize(500, 200);
    editor.InitNodePoints();
    for (const char* broken : {"1\n0\n0\n1\n", "2\n0\n0\n1\n500\n0\n7\n", "2\n0\nx\n1\n500\n0\n1\n",
                               "2\n0\ninf\n1\n500\n0\n1\n", "2\n0\n0\n1\n", "-3\n", "2000000000\n", ""}) {
        EXPECT_FALSE(loadChain(editor, QString::fromLatin1(broken))) << broken;
        ASSERT_EQ(editor.nodes().size(), 2) << broken;
        EXPECT_DOUBLE_EQ(valueAt(editor, 0.5), 0.5);
    }
    // Off the widget is pulled onto it.
    ASSERT_TRUE(editor.SetNodesFromPixels({{-40, -3, 1}, {900, 9000, 1}}));
    EXPECT_EQ(pixels(editor), (std::vector<std::pair<int, int>>{{0, 0}, {500, 200}}));
}

// The GUI thread rebuilds the splines as fast as it can while another thread reads the value as
// the timer thread does. Every value read must be one of the curves published (both flat), never
// a mixture, a half-built set or freed memory (AddressSanitizer watches the last).
TEST(CurveEditor, EvaluationNeverSeesASplineSetBeingRebuilt) {
    BrazierCurve editor;
    const std::vector<PixelNode> low{{0, 750, 1}, {300, 750, 0}, {600, 750, 1}, {1000, 750, 1}};
    const std::vector<PixelNode> high{{0, 250, 0}, {500, 250, 1}, {1000, 250, 1}};
    ASSERT_TRUE(shaped(editor, 1000, 1000, low));

    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, wrong{0};
    std::thread timer([&] {
        long i = 0;
        while (!stop.load()) {
            editor.SetPlayBarPos((i++ % 1000) / 1000.0);
            const double v = editor.GetCurrentValue();
            if (std::abs(v - 0.25) > 1e-9 && std::abs(v - 0.75) > 1e-9)
                wrong.fetch_add(1);
            reads.fetch_add(1);
        }
    });
    for (int round = 0; round < 100000 && (round < 3000 || reads.load() < 10000); ++round)
        ASSERT_TRUE(editor.SetNodesFromPixels(round % 2 ? low : high));
    stop = true;
    timer.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(reads.load(), 0);
}
