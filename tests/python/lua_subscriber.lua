-- The Lua side of the Python exchange: takes squares until it has seen `count` GREEN ones whose
-- y is twice their x and whose size is exact, then prints them; exits non-zero after 20 s.
--   lua5.2 lua_subscriber.lua <directory of quelt_dds_connector.so> <Shapes.xml> <count>
local moduleDir, xml, count = arg[1], arg[2], tonumber(arg[3])
package.cpath = moduleDir .. "/?.so;" .. package.cpath

local connector = require("quelt_dds_connector"):new_connector("ShapesLib::ShapeSubscriber", xml)
assert(connector, "new_connector failed")
local reader = connector.READER["Sub::SquareReader"]
print("ready")
io.stdout:flush()
local seen, deadline = 0, os.time() + 20
while seen < count and os.time() < deadline do
  if connector:wait(500) then
    reader:take()
    for i, sample in ipairs(reader.samples) do
      if reader.infos[i].valid_data and sample.color == "GREEN" then
        assert(sample.y == 2 * sample.x and sample.shapesize == 7, "unexpected members")
        seen = seen + 1
        print(string.format("lua got x=%d", sample.x))
      end
    end
  end
end
io.stdout:flush()
os.exit(seen >= count and 0 or 1, true) -- closing the state deletes the connector first
