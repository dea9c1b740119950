-- The module inside one Lua state: both entry points, refused arguments, a second connector
-- refused while the first lives, the first one still working on its own, and its kept tables
-- harmless after its deletion.
--   lua5.2 one_state.lua <directory of quelt_dds_connector.so> <Shapes.xml>
local moduleDir, xml = arg[1], arg[2]
package.cpath = moduleDir .. "/?.so;" .. package.cpath

local module = require "quelt_dds_connector"
local path = package.searchpath("quelt_dds_connector", package.cpath)
local other = assert(package.loadlib(path, "luaopen_quelt_dds_connectord"))()
for _, m in ipairs({module, other}) do
  local keys = {}
  for k, v in pairs(m) do keys[#keys + 1] = k end
  assert(#keys == 1 and keys[1] == "new_connector" and type(m.new_connector) == "function")
end

-- Arguments that are not strings: nil, never a Lua error.
assert(module:new_connector("ShapesLib::Shapes", true) == nil)
assert(module:new_connector("ShapesLib::Shapes") == nil)
assert(module.new_connector(nil, xml) == nil)
assert(module:new_connector("ShapesLib::NoSuchParticipant", xml) == nil)

local first = module:new_connector("ShapesLib::Shapes", xml)
assert(first, "new_connector failed")
assert(rawequal(first, CONTAINER), "the engine runs in this state")

-- A second connector would take over the state's engine reference: it is refused.
assert(module:new_connector("ShapesLib::Shapes", xml) == nil)
assert(other:new_connector("ShapesLib::ShapePublisher", xml) == nil)

-- The first connector is untouched: its writer reaches its own reader.
local writer, reader = first.WRITER[1], first.READER[1]
writer.instance.color = "GREEN"
writer.instance.x = 7
writer:write()
assert(rawequal(first:wait(5000), first.READER), "data expected")
reader:take()
assert(#reader.samples == 1 and reader.samples[1].color == "GREEN" and reader.samples[1].x == 7)
assert(first.CONTEXT.time_ms() > 0)

-- Deleted through its __gc, the tables a script kept give nil (and a log line), never the freed
-- samples, readers and writers (the valgrind and ASan runs of this file check "never"); so they
-- do once the state has a second connector, whose own objects they must not reach either.
local instance, samples, infos, kept = writer.instance, reader.samples, reader.infos, reader.samples[1]
getmetatable(first).__gc(first)
local function keptTablesGiveNothing(current)
  instance.x = 5
  assert(instance.x == nil and #instance == 0 and first.CONTEXT.json(instance) == nil)
  assert(#samples == 0 and samples[1] == nil and infos[1] == nil and kept.x == nil)
  for _, operation in ipairs({"write", "dispose", "unregister", "clear_members"}) do writer[operation](writer) end
  reader:take()
  reader:read()
  assert(first:wait(0) == nil)
  getmetatable(first).__gc(first)
  if current then
    assert(rawequal(current, CONTAINER) and current.WRITER[1].instance.x == 0)
  else -- the state's functions find no connector
    assert(first.CONTEXT.time_ms() == nil and first.CONTEXT.enableEventLog() == nil)
  end
end
keptTablesGiveNothing()
local second = module:new_connector("ShapesLib::Shapes", xml)
assert(second, "a new connector once the first is deleted")
keptTablesGiveNothing(second)
print("one connector per state")
