#include "gui/widgets/progress/progress.h"
#include "gui/core/screen.h"
#include "gui/core/util.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/progress/progress_private.h"

#include <cstring>
#include <new>

namespace {

constexpr int PROGRESS_FONT_SLOT = 16;

} // namespace

GuiRect GuiProgressBarRect(const GuiRect& client, bool vertical, int minimum, int maximum, int current) {
    GuiRect r = client;
    if (maximum <= minimum) return r;
    const int64_t range = static_cast<int64_t>(maximum) - minimum;
    const int64_t done = static_cast<int64_t>(current) - minimum;
    if (vertical)
        r.top = GuiClamp16(client.bottom - done * client.Height() / range);
    else
        r.right = GuiClamp16(client.left + done * client.Width() / range);
    return r;
}

long GuiProgressPercent(int minimum, int maximum, int current) {
    if (maximum <= minimum) return 100;
    return static_cast<long>((static_cast<int64_t>(current) - minimum) * 100 /
                             (static_cast<int64_t>(maximum) - minimum));
}

void GuiProgressFill::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if ((mStyle & FF_MASK) == FF_RAISED)
        StandardBorder(mColors[0]);
    else
        GuiFill(this, mReal, mColors[0]);
    mpScreen->EndDraw();
}

GuiProgressBar::GuiProgressBar(const GuiRect& rect, uint16_t style, int minimum, int maximum, int current)
    : GuiTextThing(rect, 0, style, nullptr, PROGRESS_FONT_SLOT), mMinimum(minimum), mMaximum(maximum),
      mCurrent(current) {
    mColors[0] = GUI_SHADOW;
    mColors[1] = GUI_ACTIVE_BLUE;
    mColors[2] = GUI_WHITE;
    mColors[3] = GUI_WHITE;
    mType = TYPE_PROGRESS_BAR;
    GuiThing::InitClient();
    mBarRect = GuiProgressBarRect(mClient, mStyle & PBS_VERTICAL, mMinimum, mMaximum, mCurrent);
    MakeBar(0);
}

void GuiProgressBar::MakeBar(int draw) {
    if (mStyle & PBS_SEGMENTED) return;
    mpBar = new (std::nothrow) GuiProgressFill(mBarRect, (mStyle & PBS_RAISED_BAR) ? FF_RAISED : 0);
    if (mpBar) Add(mpBar, draw);
}

void GuiProgressBar::Update(int value, int redraw) {
    if (Visible() && mpScreen) mpScreen->Invalidate(mClient);
    mCurrent = value;
    mBarRect = GuiProgressBarRect(mClient, mStyle & PBS_VERTICAL, mMinimum, mMaximum, mCurrent);
    if (mpBar) mpBar->Resize(mBarRect);
    if (redraw) Draw();
}

void GuiProgressBar::Reconfig(uint16_t style, int minimum, int maximum) {
    Style(style);
    mMinimum = minimum;
    mMaximum = maximum;
    InitClient();
    mBarRect = GuiProgressBarRect(mClient, mStyle & PBS_VERTICAL, mMinimum, mMaximum, mCurrent);
    if (GuiButton* old = mpBar) {
        mpBar = nullptr;
        Destroy(old);
    }
    MakeBar(1);
}

void GuiProgressBar::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    mBarRect = GuiProgressBarRect(mClient, mStyle & PBS_VERTICAL, mMinimum, mMaximum, mCurrent);
    if (mpBar) mpBar->Resize(mBarRect);
}

void GuiProgressBar::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    if (!(mStyle & PBS_NO_BORDER)) StandardBorder(mColors[0]);
    if (mpBar) {
        mpBar->mColors[0] = mColors[1];
        mpBar->Draw();
    } else if (mStyle & PBS_SEGMENTED) {
        const bool vertical = mStyle & PBS_VERTICAL;
        int pitch = (vertical ? mClient.Height() : mClient.Width()) / 20;
        if (pitch < 3) pitch = 3;
        if (vertical) {
            for (GuiRect seg(mClient.left, mClient.bottom - pitch + 2, mClient.right, mClient.bottom);
                 seg.top > mBarRect.top; seg.Shift(0, -pitch))
                GuiFill(this, seg, mColors[1]);
        } else {
            for (GuiRect seg(mClient.left, mClient.top, mClient.left + pitch - 2, mClient.bottom);
                 seg.right < mBarRect.right; seg.Shift(pitch, 0))
                GuiFill(this, seg, mColors[1]);
        }
    }
    if (mStyle & PBS_SHOW_VALUE) DrawLabel();
    s->EndDraw();
}

void GuiProgressBar::DrawLabel() {
    GuiScreen* s = mpScreen;
    if (!mpFont) return;
    char text[72];
    gui_ltoa((mStyle & PBS_PERCENT) ? GuiProgressPercent(mMinimum, mMaximum, mCurrent) : mCurrent, text, 10);
    if (mStyle & PBS_PERCENT) std::strcat(text, "%");
    const int w = s->TextWidth(text, mpFont), h = s->TextHeight(text, mpFont);
    const int x = (mClient.left + mClient.right) / 2 - w / 2, y = (mClient.top + mClient.bottom) / 2 - h / 2;
    auto draw = [&](uint32_t colour, const GuiRect* limit) {
        const GuiRect saved = mClip;
        if (limit) mClip &= *limit;
        GuiColor c(colour, 0);
        if (!mClip.IsEmpty()) s->DrawText(this, GuiPoint(x, y), text, c, mpFont);
        mClip = saved;
    };
    const uint32_t normal = mColors[2], selected = mColors[3];
    if (normal == selected) {
        draw(normal, nullptr);
        return;
    }
    const GuiRect b = mBarRect;
    if (mStyle & PBS_VERTICAL) {
        if (y + h - 1 < b.top) {
            draw(normal, nullptr);
        } else if (y >= b.top) {
            draw(selected, nullptr);
        } else {
            const GuiRect below(x, b.top, x + w - 1, y + h - 1), above(x, y, x + w - 1, b.top - 1);
            draw(selected, &below);
            draw(normal, &above);
        }
    } else {
        if (x > b.right) {
            draw(normal, nullptr);
        } else if (x + w - 1 <= b.right) {
            draw(selected, nullptr);
        } else {
            const GuiRect left(x, y, b.right, y + h - 1), right(b.right + 1, y, x + w - 1, y + h - 1);
            draw(selected, &left);
            draw(normal, &right);
        }
    }
}
