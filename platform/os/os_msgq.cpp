// Message queues of the OS layer.
#include "platform/os/os_world.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace os_detail;

// ---- message queues ----------------------------------------------------------------------

namespace {

MsgQ* qOf(MSG_Q_ID q) {
    return reinterpret_cast<MsgQ*>(q);
}
} // namespace

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options) {
    if (maxMsgs <= 0 || maxMsgLength < 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* q = new MsgQ;
    keep(q);
    q->maxMsgs = maxMsgs;
    q->maxLen = maxMsgLength;
    q->options = options;
    return reinterpret_cast<MSG_Q_ID>(q);
}

STATUS msgQDelete(MSG_Q_ID id) {
    World& w = W();
    PreemptOnReturn preempted{w};
    MsgQ* q = qOf(id);
    if (!q) {
        errno = EINVAL;
        return ERROR;
    }
    std::vector<Tcb*> woken;
    {
        std::lock_guard<std::mutex> g(q->m);
        if (q->deleted) {
            errno = EINVAL;
            return ERROR;
        }
        q->deleted = true;
        while (Tcb* t = popClaimed(q->recvWaiters))
            woken.push_back(t);
        while (Tcb* t = popClaimed(q->sendWaiters))
            woken.push_back(t);
        q->msgs.clear();
    }
    for (Tcb* t : woken)
        finish(w, t, WAKE_DELETED_OBJ);
    if (!q->name.empty()) {
        std::lock_guard<std::mutex> g(w.reg);
        auto it = w.namedQueues.find(q->name);
        if (it != w.namedQueues.end() && it->second == q) w.namedQueues.erase(it);
    }
    return OK;
}

STATUS msgQSend(MSG_Q_ID id, const void* buf, size_t len, int ticks, int priority) {
    World& w = W();
    PreemptOnReturn preempted{w};
    MsgQ* q = qOf(id);
    if (!q || q->deleted.load(std::memory_order_relaxed) || (!buf && len) ||
        len > static_cast<size_t>(q->maxLen)) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* me = self();
    enter(w, me);
    std::unique_lock<std::mutex> lk(q->m);
    for (;;) {
        if (q->deleted) {
            errno = EINVAL;
            return ERROR;
        }
        if (Tcb* r = popClaimed(q->recvWaiters)) {
            size_t n = std::min(len, r->rxMax);
            if (n) std::memcpy(r->rxBuf, buf, n);
            r->rxLen = static_cast<int>(n);
            lk.unlock();
            finish(w, r, WAKE_GRANTED);
            return OK;
        }
        if (static_cast<int>(q->msgs.size()) < q->maxMsgs) {
            const char* p = static_cast<const char*>(buf);
            std::vector<char> m(p, p + len);
            if (priority == MSG_PRI_URGENT)
                q->msgs.push_front(std::move(m));
            else
                q->msgs.push_back(std::move(m));
            return OK;
        }
        if (ticks == NO_WAIT) {
            errno = EAGAIN;
            return ERROR;
        }
        int r = block(w, me, &lk, &q->sendWaiters, q->options & MSG_Q_PRIORITY, after(w, ticks));
        if (r == WAKE_TIMEOUT) {
            errno = ETIMEDOUT;
            return ERROR;
        }
        if (r != WAKE_GRANTED && r != WAKE_RETRY) {
            errno = EINVAL;
            return ERROR;
        }
        // A slot was freed (a receiver may have taken it first: loop), or a delete was put off.
        // The time-out restarts; senders that give a limit accept that.
    }
}

int msgQReceive(MSG_Q_ID id, void* buf, size_t maxLen, int ticks) {
    World& w = W();
    PreemptOnReturn preempted{w};
    MsgQ* q = qOf(id);
    if (!q || q->deleted.load(std::memory_order_relaxed) || (!buf && maxLen)) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* me = self();
    enter(w, me);
    std::unique_lock<std::mutex> lk(q->m);
    if (q->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    if (!q->msgs.empty()) {
        std::vector<char> m = std::move(q->msgs.front());
        q->msgs.pop_front();
        Tcb* sender = popClaimed(q->sendWaiters);
        lk.unlock();
        size_t n = std::min(m.size(), maxLen);
        if (n) std::memcpy(buf, m.data(), n);
        if (sender) finish(w, sender, WAKE_GRANTED);
        return static_cast<int>(n);
    }
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    me->rxBuf = buf;
    me->rxMax = maxLen;
    me->rxLen = 0;
    const Deadline d = after(w, ticks);
    int r = block(w, me, &lk, &q->recvWaiters, q->options & MSG_Q_PRIORITY, d);
    me->rxBuf = nullptr;
    if (r == WAKE_GRANTED) return me->rxLen;
    if (r == WAKE_RETRY) { // a delete put off: wait out what is left
        lk.unlock();
        if (const int left = ticksLeft(w, d); left != 0) return msgQReceive(id, buf, maxLen, left);
        r = WAKE_TIMEOUT;
    }
    errno = r == WAKE_TIMEOUT ? ETIMEDOUT : EINVAL;
    return ERROR;
}

int msgQNumMsgs(MSG_Q_ID id) {
    MsgQ* q = qOf(id);
    if (!q) {
        errno = EINVAL;
        return ERROR;
    }
    std::lock_guard<std::mutex> g(q->m);
    if (q->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    return static_cast<int>(q->msgs.size());
}

MSG_Q_ID msgQOpen(const char* name, int maxMsgs, int maxMsgLength, int options, int mode) {
    if (!name || !*name) {
        errno = EINVAL;
        return nullptr;
    }
    World& w = W();
    {
        std::lock_guard<std::mutex> g(w.reg);
        MsgQ* q = nullptr;
        int found = findNamed(w.namedQueues, name, mode, &q);
        if (found != 0) return found > 0 ? reinterpret_cast<MSG_Q_ID>(q) : nullptr;
    }
    MSG_Q_ID id = msgQCreate(maxMsgs, maxMsgLength, options);
    if (!id) return nullptr;
    MSG_Q_ID winner = nullptr;
    {
        std::lock_guard<std::mutex> g(w.reg);
        auto [it, fresh] = w.namedQueues.emplace(name, qOf(id));
        if (fresh)
            qOf(id)->name = name;
        else
            winner = reinterpret_cast<MSG_Q_ID>(it->second);
    }
    if (!winner) return id;
    msgQDelete(id); // another task created it meanwhile
    return winner;
}

STATUS msgQClose(MSG_Q_ID q) {
    if (!q) {
        errno = EINVAL;
        return ERROR;
    }
    return OK;
}
