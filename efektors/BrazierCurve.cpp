#include "BrazierCurve.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

// Far below a pixel, far above the rounding of a unit conversion.
constexpr double pixelTolerance = 1e-7;

const QColor backgroundColour(0, 0, 0);
const QColor sectionColour(60, 60, 80);
const QColor curveColour(75, 75, 90);
const QColor nodeColour(75, 15, 30);
const QColor selectedNodeColour(0, 120, 30);
// Outlines that keep the dark node squares visible on black.
const QColor nodeOutline(190, 60, 95);
const QColor selectedNodeOutline(90, 230, 130);

// A pixel coordinate read from a file, pulled onto the widget and truncated to a whole pixel.
int pixelOnWidget(double value, int extent) {
    return static_cast<int>(std::trunc(std::clamp(value, 0.0, static_cast<double>(std::max(extent, 0)))));
}

} // namespace

// Marks the calling thread as a reader of the published set for its lifetime. A set retired by
// the GUI thread is freed only when no reader is counted after it was replaced: a reader that
// starts later loads the new set (both sides use sequentially consistent operations).
class BrazierCurve::ReadGuard {
public:
    explicit ReadGuard(std::atomic<int>& counter) : count(counter) { count.fetch_add(1); }
    ~ReadGuard() { count.fetch_sub(1); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    std::atomic<int>& count;
};

BrazierCurve::BrazierCurve(QWidget* parent) : QLabel(parent) {
    // Clicking the curve gives it the keyboard, so Backspace removes the node just picked.
    setFocusPolicy(Qt::ClickFocus);
    setMinimumSize(40, 40);
    publish(new SplineSet);
}

BrazierCurve::~BrazierCurve() {
    // The efektor unregisters from the engine before its children go, so no reader should be
    // left; wait out one that is still finishing its evaluation all the same.
    SplineSet* last = published.exchange(nullptr);
    while (readers.load() != 0)
        std::this_thread::yield();
    delete last;
    retired.clear();
}

bool BrazierCurve::SplineSet::valueAt(double t, double& value) const {
    for (magnet::math::Spline& spline : splines) {
        if (spline.size() < 2 || !spline.valid())
            continue;
        const auto& points = spline.points();
        if (points.front().first <= t && t <= points.back().first) {
            value = spline(t);
            return true;
        }
    }
    return false;
}

void BrazierCurve::publish(SplineSet* fresh) {
    SplineSet* old = published.exchange(fresh);
    if (old)
        retired.emplace_back(old);
    reclaimRetired();
}

void BrazierCurve::reclaimRetired() {
    if (retired.empty())
        return;
    // The timer thread reads for well under a microsecond once a millisecond, so a moment with
    // no reader comes almost always at once; should edits outpace that, wait for one rather
    // than let retired sets pile up.
    if (retired.size() >= maxRetired)
        while (readers.load() != 0)
            std::this_thread::yield();
    if (readers.load() == 0)
        retired.clear();
}

std::size_t BrazierCurve::splineCount() const {
    const SplineSet* set = published.load();
    return set ? set->splines.size() : 0;
}

double BrazierCurve::unitsFromPixelX(double px) const {
    return resolution * px / std::max(width(), 1);
}
double BrazierCurve::unitsFromPixelY(double py) const {
    return resolution * py / std::max(height(), 1);
}
// Units back to the whole pixel they came from: a node placed at pixel 21 is at 1000·21/w units,
// and w times that over 1000 may come out a hair below 21 in floating point.
int BrazierCurve::pixelX(double X) const {
    return static_cast<int>(std::trunc(width() * X / resolution + pixelTolerance));
}
int BrazierCurve::pixelY(double Y) const {
    return static_cast<int>(std::trunc(height() * Y / resolution + pixelTolerance));
}

int BrazierCurve::insertNode(Node node) {
    int index = 0;
    while (index < nodeList.size() && nodeList[index].X <= node.X)
        ++index;
    nodeList.insert(index, node);
    return index;
}

void BrazierCurve::InitNodePoints() {
    backgroundDirty = true;
    nodeList.clear();
    AddNode(0, height() / 2, CUBIC);
    AddNode(width(), height() / 2, CUBIC);
    selected = -1;
    CreateSplines();
}

void BrazierCurve::AddNode(int px, int py, Spline_type kind) {
    selected = insertNode({unitsFromPixelX(px), unitsFromPixelY(py), kind});
}

void BrazierCurve::CreateSplines() {
    auto fresh = std::make_unique<SplineSet>();
    auto& splines = fresh->splines;
    if (!nodeList.isEmpty()) {
        splines.emplace_back();
        splines.back().setType(nodeList.front().kind);
        Spline_type previousKind = nodeList.front().kind;
        for (int i = 0; i < nodeList.size(); ++i) {
            const Node& node = nodeList[i];
            // A change of kind closes the run at this node and starts the next run from it.
            // The last node starts no segment, so its kind never opens a run of its own.
            if (node.kind != previousKind && i + 1 < nodeList.size()) {
                splines.back().addPoint(node.X, node.Y);
                splines.emplace_back();
                splines.back().setType(node.kind);
            }
            splines.back().addPoint(node.X, node.Y);
            previousKind = node.kind;
        }
    }
    // All generation happens here, on the GUI thread; the timer thread only evaluates.
    for (magnet::math::Spline& spline : splines)
        if (spline.size() >= 2)
            spline.generate();
    publish(fresh.release());
    backgroundDirty = true;
    update();
}

double BrazierCurve::GetCurrentValue() const {
    const double position = playBarPos();
    if (!std::isfinite(position))
        return 1.0;
    const double t = std::trunc(resolution * position);
    ReadGuard guard(readers);
    const SplineSet* set = published.load();
    double y = 0.0;
    if (!set || !set->valueAt(t, y) || !std::isfinite(y))
        return 1.0;
    return std::clamp(1.0 - y / resolution, 0.0, 1.0);
}

void BrazierCurve::SetSectionAmount(int sections) {
    sectionCount = std::max(sections, 1);
    backgroundDirty = true;
    update();
}

void BrazierCurve::SaveNodes(QTextStream* stream) const {
    QTextStream& out = *stream;
    out << nodeList.size() << "\n";
    for (const Node& node : nodeList) {
        out << width() * node.X / resolution << "\n";
        out << height() * node.Y / resolution << "\n";
        out << static_cast<int>(node.kind) << "\n";
    }
}

bool BrazierCurve::LoadNodes(QTextStream* stream) {
    QTextStream& in = *stream;
    QString token;
    in >> token;
    bool ok = false;
    const int count = token.toInt(&ok);
    if (!ok || count < 2 || count > maxNodes)
        return false;
    std::vector<PixelNode> pixelNodes;
    pixelNodes.reserve(count);
    for (int i = 0; i < count; ++i) {
        QString xToken, yToken, kindToken;
        in >> xToken >> yToken >> kindToken;
        bool xOk = false, yOk = false, kindOk = false;
        PixelNode node{xToken.toDouble(&xOk), yToken.toDouble(&yOk), kindToken.toInt(&kindOk)};
        if (!xOk || !yOk || !kindOk)
            return false;
        pixelNodes.push_back(node);
    }
    return SetNodesFromPixels(pixelNodes);
}

bool BrazierCurve::SetNodesFromPixels(const std::vector<PixelNode>& pixelNodes) {
    if (pixelNodes.size() < 2 || pixelNodes.size() > static_cast<std::size_t>(maxNodes))
        return false;
    for (const PixelNode& node : pixelNodes)
        if (!std::isfinite(node.px) || !std::isfinite(node.py) || (node.kind != LINEAR && node.kind != CUBIC))
            return false;
    nodeList.clear();
    for (const PixelNode& node : pixelNodes)
        AddNode(pixelOnWidget(node.px, width()), pixelOnWidget(node.py, height()),
                static_cast<Spline_type>(node.kind));
    selected = -1;
    CreateSplines();
    return true;
}

void BrazierCurve::LoadNodes(const BrazierCurve* other) {
    if (!other || other == this)
        return;
    nodeList = other->nodeList;
    selected = -1;
    CreateSplines();
}

void BrazierCurve::setNodes(const QList<Node>& chain) {
    if (chain.size() < 2)
        return;
    nodeList = chain;
    selected = -1;
    CreateSplines();
}

void BrazierCurve::beginEdit() {
    if (editOpen)
        return;
    editStart = nodeList;
    editOpen = true;
}

void BrazierCurve::endEdit() {
    if (!editOpen)
        return;
    editOpen = false;
    if (editStart != nodeList)
        emit edited(editStart, nodeList);
}

void BrazierCurve::mousePressEvent(QMouseEvent* event) {
    beginEdit();
    const QPoint at = event->position().toPoint();
    pressX = at.x();
    pressY = at.y();
    const double X = unitsFromPixelX(at.x());
    const double Y = unitsFromPixelY(at.y());
    selected = -1;
    for (int i = 0; i < nodeList.size(); ++i) {
        if (std::abs(nodeList[i].X - X) < selectDistance && std::abs(nodeList[i].Y - Y) < selectDistance) {
            selected = i;
            break;
        }
    }
    if (selected < 0 && nodeList.size() < maxNodes)
        AddNode(at.x(), at.y(), CUBIC);
    CreateSplines();
}

void BrazierCurve::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() == Qt::NoButton || nodeList.isEmpty())
        return;
    const QPoint at = event->position().toPoint();
    const int w = width();
    const int h = height();
    const QList<Node> old = nodeList;
    const int last = static_cast<int>(old.size()) - 1;
    nodeList.clear();
    int movedTo = -1;
    for (int i = 0; i <= last; ++i) {
        int px = pixelX(old[i].X);
        int py = pixelY(old[i].Y);
        if (i == selected) {
            px += at.x() - pressX;
            py += at.y() - pressY;
            px = std::max(1, std::min(px, w - 1));
            if (i > 0)
                px = std::max(px, pixelX(old[i - 1].X) + nodeGap);
            if (i < last)
                px = std::min(px, pixelX(old[i + 1].X) - nodeGap);
            py = std::max(1, std::min(py, h - 1));
        }
        if (i == 0)
            px = 0;
        if (i == last)
            px = w;
        const int index = insertNode({unitsFromPixelX(px), unitsFromPixelY(py), old[i].kind});
        if (i == selected)
            movedTo = index;
        else if (movedTo >= 0 && index <= movedTo)
            ++movedTo;
    }
    selected = movedTo;
    pressX = at.x();
    pressY = at.y();
    CreateSplines();
}

void BrazierCurve::mouseReleaseEvent(QMouseEvent* event) {
    endEdit();
    event->accept();
}

void BrazierCurve::mouseDoubleClickEvent(QMouseEvent* event) {
    beginEdit();
    const QPoint at = event->position().toPoint();
    const double X = unitsFromPixelX(at.x());
    const double Y = unitsFromPixelY(at.y());
    for (int i = 0; i + 1 < nodeList.size(); ++i) {
        Node& node = nodeList[i];
        if (std::abs(node.X - X) < toggleDistance && std::abs(node.Y - Y) < toggleDistance) {
            node.kind = node.kind == CUBIC ? LINEAR : CUBIC;
            break;
        }
    }
    CreateSplines();
}

bool BrazierCurve::keyTyped(int key) {
    const bool removeKey = key == Qt::Key_Backspace || key == Qt::Key_Delete;
    // A key typed while the mouse drags belongs to the drag's edit, which the release closes.
    const bool partOfDrag = editOpen;
    // The end nodes anchor the curve to both edges of the loop; without one of them part of the
    // loop would have no curve at all.
    if (removeKey && selected > 0 && selected + 1 < nodeList.size() && nodeList.size() >= 3) {
        beginEdit();
        nodeList.removeAt(selected);
        selected = -1;
    }
    CreateSplines();
    if (!partOfDrag)
        endEdit();
    return removeKey;
}

void BrazierCurve::keyPressEvent(QKeyEvent* event) {
    // Other keys go on to the efektor window (and from there to the list: S toggles solo).
    if (keyTyped(event->key()))
        event->accept();
    else
        event->ignore();
}

void BrazierCurve::drawBackground() {
    const int w = width();
    const int h = height();
    backgroundDirty = false;
    if (w <= 0 || h <= 0) {
        background = QPixmap();
        return;
    }
    background = QPixmap(w, h);
    background.fill(backgroundColour);
    QPainter painter(&background);

    painter.setPen(QPen(sectionColour, 1));
    for (int i = 1; i < sectionCount; ++i) {
        const int x = static_cast<int>(std::trunc(static_cast<double>(w) * i / sectionCount));
        painter.drawLine(x, 0, x, h);
    }

    const SplineSet* set = published.load();
    auto curveY = [&](int p) {
        double value = 0.0;
        const double t = std::trunc(static_cast<double>(resolution) * p / w);
        if (!set || !set->valueAt(t, value) || !std::isfinite(value))
            value = 0.0;
        const double scaled = std::clamp(h * value / resolution, -1.0, static_cast<double>(h));
        int y = static_cast<int>(std::trunc(scaled));
        if (y > h - 2)
            y = h - 1;
        if (y <= 0)
            y = 1;
        return y;
    };
    painter.setPen(QPen(curveColour, 1));
    int previousY = curveY(0);
    for (int p = 0; p + 1 < w; ++p) {
        const int nextY = curveY(p + 1);
        painter.drawLine(p, previousY, p + 1, nextY);
        previousY = nextY;
    }

    for (int i = 0; i < nodeList.size(); ++i) {
        const Node& node = nodeList[i];
        const int x = static_cast<int>(std::trunc(w * node.X / resolution - 5));
        const int y = static_cast<int>(std::trunc(h * node.Y / resolution - 5));
        const bool isSelected = i == selected;
        painter.fillRect(x, y, 9, 9, isSelected ? selectedNodeColour : nodeColour);
        painter.setPen(QPen(isSelected ? selectedNodeOutline : nodeOutline, 1));
        painter.drawRect(x, y, 8, 8);
    }
}

void BrazierCurve::paintEvent(QPaintEvent*) {
    if (backgroundDirty)
        drawBackground();
    QPainter painter(this);
    painter.fillRect(rect(), backgroundColour);
    if (!background.isNull())
        painter.drawPixmap(rect(), background);
    const double position = playBarPos();
    if (std::isfinite(position)) {
        const int x = static_cast<int>(std::trunc(width() * std::clamp(position, -1.0, 2.0)));
        painter.setOpacity(0.7);
        painter.setPen(QPen(QBrush(Qt::white), 1));
        painter.drawLine(x, 0, x, height());
    }
}

void BrazierCurve::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    backgroundDirty = true;
}
