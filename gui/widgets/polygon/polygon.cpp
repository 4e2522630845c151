#include "gui/widgets/polygon/polygon.h"
#include "gui/core/screen.h"
#include "gui/scroll/scroll.h"
#include "gui/widgets/common/arith.h"

#include <new>

namespace {

// The point p turned by `degrees` (counter-clockwise on the screen) about (cx, cy).
GuiPoint GuiRotatePoint(GuiPoint p, int cx, int cy, int degrees) {
    int s = 0, c = 0;
    GuiLookupSinCos(degrees, &s, &c);
    const int32_t dx = p.x - cx, dy = p.y - cy;
    return GuiPoint(GuiClamp16(cx + ((c * dx) >> 10) + ((s * dy) >> 10)),
                    GuiClamp16(cy + ((c * dy) >> 10) - ((s * dx) >> 10)));
}

} // namespace

Gui2DPolygon::Gui2DPolygon(const GuiRect& rect, GuiPoint* points, unsigned int count, unsigned int id,
                           unsigned short style)
    : GuiThing(rect, static_cast<uint16_t>(id), style) {
    if (!points || !count) return;
    GuiPoint* own = points;
    if (style & PGS_COPY_POINTS) {
        own = new (std::nothrow) GuiPoint[count];
        if (!own) return;
        for (unsigned int i = 0; i < count; ++i)
            own[i] = points[i];
        mOwnsPoints = 1;
    }
    mpDrawn = new (std::nothrow) GuiPoint[count];
    if (!mpDrawn) {
        if (mOwnsPoints) delete[] own;
        mOwnsPoints = 0;
        return;
    }
    mpPoints = own;
    mCount = count;
    MapPolygonToReal();
}

Gui2DPolygon::~Gui2DPolygon() {
    if (mOwnsPoints) delete[] mpPoints;
    delete[] mpDrawn;
}

void Gui2DPolygon::MapPolygonToReal() {
    for (uint32_t i = 0; i < mCount; ++i)
        mpPoints[i] = GuiPoint(GuiClamp16(mpPoints[i].x + mReal.left), GuiClamp16(mpPoints[i].y + mReal.top));
    Rotate();
}

void Gui2DPolygon::Rotate() {
    const int cx = mReal.left + (mReal.Width() >> 1), cy = mReal.top + (mReal.Height() >> 1);
    for (uint32_t i = 0; i < mCount; ++i)
        mpDrawn[i] = mAngle ? GuiRotatePoint(mpPoints[i], cx, cy, mAngle) : mpPoints[i];
}

void Gui2DPolygon::ShiftPoints(int dx, int dy) {
    for (uint32_t i = 0; i < mCount; ++i) {
        mpPoints[i] = GuiPoint(GuiClamp16(mpPoints[i].x + dx), GuiClamp16(mpPoints[i].y + dy));
        mpDrawn[i] = GuiPoint(GuiClamp16(mpDrawn[i].x + dx), GuiClamp16(mpDrawn[i].y + dy));
    }
}

void Gui2DPolygon::Resize(GuiRect rect) {
    ShiftPoints(rect.left - mReal.left, rect.top - mReal.top);
    GuiThing::Resize(rect);
}

void Gui2DPolygon::ParentShift(int dx, int dy) {
    ShiftPoints(dx, dy);
    GuiThing::ParentShift(dx, dy);
}

void Gui2DPolygon::SetCurAngle(int degrees) {
    if (degrees == mAngle) return;
    mAngle = degrees;
    Rotate();
    if (Visible() && mpScreen) mpScreen->Invalidate(mReal);
}

void Gui2DPolygon::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    const bool onParent = (mStyle & PGS_PARENT_BACKGROUND) && mpParent;
    if (!((mStyle & PGS_PARENT_BACKGROUND) && (mStyle & FF_MASK) == FF_NONE))
        StandardBorder(onParent ? mpParent->mColors[0] : mColors[0]);
    if (mCount)
        s->Polygon(this, mpDrawn, static_cast<int>(mCount),
                   GuiColor(mColors[2], mColors[3], mFill ? GUI_COLOR_FILL : 0), mLineWidth);
    DrawChildren();
    s->EndDraw();
}
