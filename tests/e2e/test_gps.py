"""The GPS receiver of a running unit: "/tyCo/1" is a pseudo-terminal that the test writes into."""
import os
import pty

import pytest


@pytest.mark.parametrize("time", ["stepped", "realtime"])
def test_receiver_behind_tyco1_is_read_until_shutdown(unit, time):
    master, slave = pty.openpty()
    try:
        p = unit(["0"], "[platform]\ntime = %s\n[serial]\ntyCo1 = %s\n" % (time, os.ttyname(slave)))
        p.wait_started()
        with p.control() as ctl:
            assert "r_gpsTask" in ctl.tasks()
            os.write(master, b"$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48\r\n"
                             b"$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*49\r\n")
            if time == "stepped":
                ctl.step(20)
            p.wait_for("NMEA sentence dropped: checksum error")
            ctl.postrun()
            for _ in range(40 if time == "stepped" else 0):
                try:
                    ctl.step(10)
                except Exception:
                    break
        assert p.finish() == 0
        text = "\n".join(p.out)
        assert "gpsTask delete errno" not in text and "did not get tid for gpsTask" not in text
        assert text.rstrip().endswith("Main: Shutdown ended, exiting smoothly")
    finally:
        os.close(master)
        os.close(slave)
