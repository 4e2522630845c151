// Gui2DPolygon: a polygon, outlined or filled, that moves with the object and turns by whole degrees.
#pragma once

#include "gui/core/thing.h"

// Style bit: the polygon keeps its own copy of the points.
constexpr uint16_t PGS_COPY_POINTS = 0x2000;
// Style bit: the background is the parent's colour 0 (and frame FF_NONE draws no border).
constexpr uint16_t PGS_PARENT_BACKGROUND = 0x4000;

class Gui2DPolygon : public GuiThing {
  public:
    // The points are relative to the rectangle's top-left corner; they are stored in screen
    // coordinates (in the caller's array unless PGS_COPY_POINTS). Null points give no polygon.
    Gui2DPolygon(const GuiRect& rect, GuiPoint* points, unsigned int count, unsigned int id,
                 unsigned short style);
    ~Gui2DPolygon() override;

    void Draw() override;
    // Moves the shape with the corner; it is not scaled.
    void Resize(GuiRect rect) override;
    void ParentShift(int dx, int dy) override;

    // Turns the drawn shape about the centre of the rectangle; a shown polygon is redrawn at the
    // next drawing pass.
    void SetCurAngle(int degrees);
    void MapPolygonToReal();

    unsigned int Count() const { return mCount; }
    const GuiPoint* Points() const { return mpPoints; }
    const GuiPoint* DrawnPoints() const { return mpDrawn; }
    int Angle() const { return mAngle; }

    // Read by Draw; an owner sets them: fill with colour 3 inside the outline, outline width.
    int32_t mFill = 0;
    int32_t mLineWidth = 1;

  private:
    uint32_t mCount = 0;
    GuiPoint* mpPoints = nullptr;
    GuiPoint* mpDrawn = nullptr;
    int32_t mAngle = 0;
    int32_t mOwnsPoints = 0;

    void ShiftPoints(int dx, int dy);
    void Rotate();
};
