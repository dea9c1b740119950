-- Publisher side of the module exchange: writes BLUE squares every 100 ms until the file named by
-- the third argument exists (at most 20 s).
--   lua5.2 shapes_publisher.lua <directory of quelt_dds_connector.so> <Shapes.xml> <stop file>
local moduleDir, xml, stopFile = arg[1], arg[2], arg[3]
package.cpath = moduleDir .. "/?.so;" .. package.cpath

local connector = require("quelt_dds_connector"):new_connector("ShapesLib::ShapePublisher", xml)
assert(connector, "new_connector failed")
local writer = connector.WRITER["Pub::SquareWriter"]
assert(rawequal(writer, connector.WRITER[1]) and #connector.WRITER == 1)

for x = 1, 200 do
  writer.instance.color = "BLUE"
  writer.instance.x = x
  writer.instance.y = 2 * x
  writer.instance.shapesize = 30
  writer:write()
  assert(connector:wait_for_period_ms(100) == 100)
  local stop = io.open(stopFile)
  if stop then stop:close() break end
end
-- The connector goes with the state: its __gc deletes it when the interpreter closes.
