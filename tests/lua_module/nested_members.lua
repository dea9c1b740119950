-- Nested members through the module: a struct member, a sequence and a two-dimensional array, written and read
-- back by member path in one participant.
--   lua5.2 nested_members.lua <directory of quelt_dds_connector.so> <tests/data/lua/tracks.xml on a domain of its own>
local moduleDir, xml = arg[1], arg[2]
package.cpath = moduleDir .. "/?.so;" .. package.cpath

local connector = require("quelt_dds_connector"):new_connector("L::P", xml)
assert(connector, "new_connector failed")
local w, r = connector.WRITER["Pub::W"], connector.READER["Sub::R"]
local t = w.instance
t.id = "T1"
t["position.x"] = 3
t["position.y"] = -4
t["speeds[1]"] = 10
t["speeds[2]"] = 20
t["corners[2][1]"] = 7
w:write()
assert(connector:wait(5000), "data expected")
r:take()
local s, info = r.samples[1], r.infos[1]
assert(info.valid_data)
assert(s.id == "T1" and s["position.x"] == 3 and s["position.y"] == -4)
assert(s["speeds#"] == 2 and s["speeds[1]"] == 10 and s["speeds[2]"] == 20)
assert(s["corners[2][1]"] == 7 and s["corners[1][2]"] == 0)
print("nested members read back")
