#include "gui/widgets/animation/animation.h"
#include "gui/core/screen.h"

#include <new>

namespace {

// A delay or period of 0 ticks would never fire: it runs as 1, the next tick.
long GuiAnimationTicks(unsigned long delay) {
    return delay == 0 ? 1 : delay > 0x7FFFFFFFul ? 0x7FFFFFFFl : static_cast<long>(delay);
}

} // namespace

// ---- frame list animation -------------------------------------------------------------------

GuiAnimation::GuiAnimation(const GuiRect& rect, GuiAnimationFrame* frames, unsigned short id,
                           unsigned short style)
    : GuiAnimation(rect, id, style) {
    InitializeFrameList(frames);
}

GuiAnimation::GuiAnimation(const GuiRect& rect, unsigned short id, unsigned short style)
    : GuiThing(rect, id, style) {
    mType = TYPE_ANIMATION;
}

GuiAnimation::~GuiAnimation() {
    delete[] mpFrames;
}

void GuiAnimation::InitializeFrameList(GuiAnimationFrame* frames) {
    delete[] mpFrames;
    mpFrames = mpCurrent = nullptr;
    mCount = 0;
    int32_t n = 0;
    while (frames && frames[n].bitmap && n < 0x7FFFFFFE)
        ++n;
    if (n > 0) {
        mpFrames = new (std::nothrow) GuiAnimationFrame[n + 1];
        if (mpFrames) {
            for (int32_t i = 0; i < n; ++i)
                mpFrames[i] = frames[i];
            mpFrames[n] = GuiAnimationFrame{nullptr, 0, 0, 0, 0};
            mCount = n;
        }
    }
    if (mIndex >= mCount) mIndex = 0;
    mpCurrent = mpFrames;
    if (!mpFrames) mRunning = 0;
}

void GuiAnimation::AssignFrameList(GuiAnimationFrame* frames) {
    InitializeFrameList(frames);
    mIndex = 0;
    if (mRunning) SetCurrentFrame(0);
}

void GuiAnimation::SetCurrentFrame(int frame) {
    if (frame < 0 || frame >= mCount) return;
    mIndex = frame;
    mpCurrent = &mpFrames[frame];
    if (!mRunning) return;
    Repaint();
    if (mpMessageQueue)
        mpMessageQueue->SetTimer(this, ANIMATION_TIMER_ID, GuiAnimationTicks(mpCurrent->delay), 0);
}

void GuiAnimation::Start(int frame) {
    if (!mpFrames) return;
    if (frame < 0) frame = mIndex;
    if (frame >= mCount) return;
    mRunning = 1;
    SetCurrentFrame(frame);
}

void GuiAnimation::Repaint() {
    if (!Visible() || !mpScreen) return;
    mpScreen->Invalidate(mClient);
    Draw();
}

void GuiAnimation::Vanish() {
    if (!mpParent || !Visible() || !mpScreen) return;
    mpScreen->Invalidate(mClient);
    mpParent->Draw();
}

void GuiAnimation::Stop() {
    mRunning = 0;
    if (mpFrames && !(mMode & AM_KEEP_LAST)) Vanish();
}

void GuiAnimation::Tick() {
    if (!mRunning || !mpCurrent) return;
    ++mIndex;
    ++mpCurrent;
    if (!mpCurrent->bitmap) {
        mIndex = 0;
        mpCurrent = mpFrames;
        if (!(mMode & AM_LOOP)) mRunning = 0;
    }
    if (mRunning && mpCurrent->bitmap) {
        if (mpMessageQueue)
            mpMessageQueue->SetTimer(this, ANIMATION_TIMER_ID, GuiAnimationTicks(mpCurrent->delay), 0);
        Repaint();
    } else if (!(mMode & AM_KEEP_LAST)) {
        Vanish();
    }
}

int GuiAnimation::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_HIDE:
        if (mpMessageQueue) mpMessageQueue->KillTimer(this, 0);
        mRunning = 0;
        break;
    case GM_SHOW:
        if ((mMode & AM_START_ON_SHOW) && mpFrames) {
            mRunning = 1;
            SetCurrentFrame(mIndex);
        }
        break;
    case GM_TIMER:
        Tick();
        return 0;
    default:
        break;
    }
    return GuiThing::Message(msg);
}

void GuiAnimation::Draw() {
    if (!mpFrames || !mpCurrent || !(mRunning || (mMode & AM_KEEP_LAST))) return;
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    const GuiAnimationFrame& f = *mpCurrent;
    if (f.clear == AFC_CLEAR || f.clear == AFC_CLEAR_TOO) {
        s->Rectangle(this, mClient, GuiColor(mColors[0], mColors[0], GUI_COLOR_FILL), 0);
    } else if (f.clear == AFC_PREVIOUS && mIndex > 0) {
        const GuiAnimationFrame& p = mpFrames[mIndex - 1];
        s->Bitmap(this, GuiPoint(mClient.left + p.x, mClient.top + p.y), p.bitmap);
    }
    if (f.bitmap) s->Bitmap(this, GuiPoint(mReal.left + f.x, mReal.top + f.y), f.bitmap);
    s->EndDraw();
}

// ---- animation window -----------------------------------------------------------------------

GuiAnimationWindow::GuiAnimationWindow(const GuiRect& rect, GuiBitmap* background, GuiBitmap** frames,
                                       unsigned char count, int xOffset, int yOffset, unsigned char* palette,
                                       unsigned int style)
    : GuiWindow(rect, style), mCount(count), mpPalette(palette), mOffsetX(static_cast<int16_t>(xOffset)),
      mOffsetY(static_cast<int16_t>(yOffset)), mpBackground(background), mpFrames(frames) {
    mType = TYPE_ANIMATION_WINDOW;
}

void GuiAnimationWindow::Run(unsigned int period, unsigned char startFrame) {
    if (startFrame >= mCount) return;
    const long ticks = GuiAnimationTicks(period);
    if (mpMessageQueue) mpMessageQueue->SetTimer(this, ANIMATION_WINDOW_TIMER_ID, ticks, ticks);
    mCurrent = startFrame;
}

void GuiAnimationWindow::Stop() {
    if (mpMessageQueue) mpMessageQueue->KillTimer(this, ANIMATION_WINDOW_TIMER_ID);
}

void GuiAnimationWindow::SetFrame(unsigned char frame) {
    if (frame >= mCount) return;
    mCurrent = frame;
    DrawAnimationFrame();
}

void GuiAnimationWindow::SetFrameOffset(int x, int y) {
    mOffsetX = static_cast<int16_t>(x);
    mOffsetY = static_cast<int16_t>(y);
}

void GuiAnimationWindow::DrawAnimationFrame() {
    if (!mpFrames || mCurrent >= mCount || !mpScreen) return;
    GuiBitmap* b = mpFrames[mCurrent];
    if (!b) return;
    const int x = mClient.left + mOffsetX, y = mClient.top + mOffsetY;
    mpScreen->Invalidate(GuiRect(x, y, x + b->width, y + b->height));
    mpScreen->BeginDraw(this);
    mpScreen->Bitmap(this, GuiPoint(x, y), b);
    mpScreen->EndDraw();
}

int GuiAnimationWindow::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_HIDE: {
        const int r = GuiWindow::Message(msg);
        Stop();
        return r;
    }
    case GM_SHOW: {
        const int r = GuiWindow::Message(msg);
        if (mpPalette && mpScreen) mpScreen->SetPalette(0, 256, mpPalette);
        return r;
    }
    case GM_TIMER:
        if (mCount) mCurrent = static_cast<uint8_t>(mCurrent + 1 >= mCount ? 0 : mCurrent + 1);
        DrawAnimationFrame();
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}

void GuiAnimationWindow::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if (mpBackground) mpScreen->Bitmap(this, GuiPoint(mClient.left, mClient.top), mpBackground);
    DrawChildren();
    mpScreen->EndDraw();
}
