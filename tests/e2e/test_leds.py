"""The default dataset's LED module on the LED array of a stepped unit: its shift light follows
the engine speed (the pressure on analog input 1, 0 to 10 bar read as 0 to 10000 rpm)."""


def test_the_top_module_follows_the_engine_speed(unit):
    p = unit(["0"], "[platform]\ntime = stepped\n[board]\nanalog_stimulus = 0 sine 2.5 2 4000\n")
    p.wait_started()
    rows = []
    with p.control() as ctl:
        for _ in range(8):  # every 45 degrees of the sine
            ctl.step(500)
            leds = ctl.cmd("leds").split()
            assert leds[10:] == ["000000"] * 20, "only the top module is configured"
            rows.append(tuple(leds[:10]))
    lit = sorted({sum(v != "000000" for v in row) for row in rows})
    # Near 10000 rpm all ten LEDs (above 9000), near 0 none (below 4500), between some of them.
    assert lit[0] == 0 and lit[-1] == 10 and len(lit) >= 4, rows
    assert p.stop() == 0
