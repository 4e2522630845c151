"""Start-up and shutdown of the vyn process, as a subprocess on the simulated platform."""
import os
import pty

import pytest

from conftest import STEPPED


@pytest.mark.parametrize("args, text", [
    ([], "Wrong number of arguments for RTP"),
    (["0", "1"], "Wrong number of arguments for RTP"),
    # not a process index: the names of its objects would not be the platform's
    (["-1"], "'-1'"),
    (["9221abc"], "'9221abc'"),
    (["2147483648"], "'2147483648'"),
])
def test_wrong_arguments(unit, args, text):
    p = unit(args)
    assert p.finish() == 255
    assert len([line for line in p.out if text in line]) == 1
    # nothing beyond the log was started, nothing is left behind
    assert not any("Start Application Number" in line for line in p.out)
    assert p.shm() == [] and not os.path.exists(p.path("vyn.ctl"))


def test_unit_without_dataset_does_not_start(unit):
    p = unit(["0"], STEPPED, dataset=False)
    assert p.finish() == 255
    text = "\n".join(p.out)
    assert "SERAM: Please reprogram the dataset in order to start the ECU" in text
    assert "Failed to initialize SERAM" in text
    assert "Startup vyn" not in text


def test_missing_board_device_ends_with_its_code(unit):
    p = unit(["0"], STEPPED + "missing_devices = 0xE000A000\n")
    assert p.finish() == 6
    assert "failed to initialize apal! Return Code: APAL_INIT_GPIO_ERROR" in p.out
    assert any("apalInit() failed! (error code: APAL_INIT_GPIO_ERROR)!" in line for line in p.out)


def test_start_report_then_orderly_shutdown(unit):
    settings = STEPPED + "[unit]\npid = 42\nipv4 = 10.1.2.3\n"
    p = unit(["3"], settings, {"devdata.ini": 'part_number = "4000-115-021"\nserial_number = "#0815"\n'})
    p.wait_started()
    assert any("Start Application Number 3, Application PID 42, IPv4 Address 10.1.2.3" in line
               for line in p.out)
    assert any("Device Partnumber: '4000-115-021', Serialnumber: '#0815'" in line for line in p.out)
    with p.control() as ctl:
        ctl.step(50)  # the rasters and the watchdog run
        tasks = ctl.tasks()
        assert "r_notifyRasterTask" in tasks and "r_WATCHDOG" in tasks
    # the logger wait needs a fifth of a second, the raster stop a few ticks
    assert p.stop() == 0
    text = "\n".join(p.out)
    assert "rtpShutdown(): starting RTP shutdown routine" in text
    assert "LoggerShutdown(): shutdown finished, took" in text
    assert text.rstrip().endswith("Main: Shutdown ended, exiting smoothly")
    # the boot counter lives in the non-volatile store: the next start counts one more
    again = unit(["3"], settings, dataset=False)
    again.wait_started()
    assert again.stop() == 0
    first, second = (int(q.wait_for("Boot counter:").rsplit(":", 1)[1]) for q in (p, again))
    assert second == first + 1


def test_start_report_in_real_time(unit):
    """The optimised build's one end-to-end start: real time, a GPS receiver on a pseudo-terminal
    read while it runs, then the post-run semaphore ends the task waiting on it with the unit."""
    master, slave = pty.openpty()
    try:
        p = unit(["0"], "[serial]\ntyCo1 = %s\n" % os.ttyname(slave))
        p.wait_started()
        with p.control() as ctl:
            assert "r_gpsTask" in ctl.tasks()
        os.write(master, b"$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48\r\n"
                         b"$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*49\r\n")
        p.wait_for("gpsTask: NMEA sentence dropped: checksum error", 10)
        assert p.end() == 0
    finally:
        os.close(master)
        os.close(slave)
    text = "\n".join(p.out)
    assert "gpsTask delete errno" not in text and "did not get tid for gpsTask" not in text
    assert text.rstrip().endswith("Main: Shutdown ended, exiting smoothly")
