-- Run by two_processes.test.js through quelt-run --count 5: a BLUE and a RED square numbered by
-- the run; the last run disposes RED instead of writing it.
runs = (runs or 0) + 1
local w = CONTAINER.WRITER["Pub::SquareWriter"]
for _, color in ipairs({"BLUE", "RED"}) do
  w.instance.color = color
  w.instance.x = runs
  if color == "RED" and runs == 5 then w:dispose() else w:write() end
end
