-- Run by two_processes.test.js through quelt-run: a BLUE square every run, numbered by the run;
-- RED is written too, and disposed instead on every even run from the 4th. One dispose would
-- do, but Cyclone DDS shows a dispose that finds a sample of its instance still unread as that
-- sample's state alone, which a reader that lags may miss.
runs = (runs or 0) + 1
local w = CONTAINER.WRITER["Pub::SquareWriter"]
w.instance.color = "BLUE"
w.instance.x = runs
w:write()
w.instance.color = "RED"
w.instance.x = runs
if runs >= 4 and runs % 2 == 0 then w:dispose() else w:write() end
