-- Subscriber side of the module exchange: starts the publisher script in another interpreter,
-- waits with a timeout for its squares, reads members and infos, then stops it.
--   lua5.2 shapes_subscriber.lua <directory of quelt_dds_connector.so> <Shapes.xml> <lua5.2> <script dir>
local moduleDir, xml, interpreter, scriptDir = arg[1], arg[2], arg[3], arg[4]
package.cpath = moduleDir .. "/?.so;" .. package.cpath

local module = require "quelt_dds_connector"
local connector = module:new_connector("ShapesLib::ShapeSubscriber", xml)
assert(connector, "new_connector failed")
assert(type(connector.wait) == "function" and type(connector.wait_for_period_ms) == "function")
local fields = {}
for k in pairs(getmetatable(connector)) do fields[#fields + 1] = k end
assert(#fields == 1 and fields[1] == "__gc", "the metatable holds only __gc")

-- Nothing was published yet: a wait times out with nil.
assert(connector:wait(100) == nil)

local stopFile = os.tmpname()
os.remove(stopFile)
local publisher = io.popen(string.format("%q %q %q %q %q", interpreter, scriptDir .. "/shapes_publisher.lua",
                                         moduleDir, xml, stopFile))
local reader = connector.READER["Sub::SquareReader"]
local seen = {}
local deadline = os.time() + 20
while #seen < 5 and os.time() < deadline do
  local readers = connector:wait(500)
  if readers then
    assert(rawequal(readers, connector.READER))
    readers[1]:take()
    for i, sample in ipairs(reader.samples) do
      local info = reader.infos[i]
      if info.valid_data then
        seen[#seen + 1] = {color = sample.color, x = sample.x, y = sample["y"], size = sample.shapesize,
                           time = info.source_timestamp, identity = info.sample_identity}
      end
    end
  end
end
io.open(stopFile, "w"):close()
local ok, _, code = publisher:close()
os.remove(stopFile)
assert(ok and code == 0, "the publisher failed")

assert(#seen >= 5, "received " .. #seen .. " samples")
for i, s in ipairs(seen) do
  assert(s.color == "BLUE" and s.y == 2 * s.x and s.size == 30, "sample " .. i)
  assert(s.time > 0 and type(s.identity) == "string")
  if i > 1 then assert(s.x > seen[i - 1].x, "in order") end
end
-- Once the last squares are in and taken, no data is left to wake a wait.
connector:wait_for_period_ms(500)
reader:take()
assert(connector:wait(0) == nil)
print(string.format("received %d squares, x from %d to %d", #seen, seen[1].x, seen[#seen].x))
