-- Nested members through the module: a struct member, a sequence and a two-dimensional array, written and read
-- back by member path in one participant.
--   lua5.2 nested_members.lua <directory of quelt_dds_connector.so> <domain id>
local moduleDir, domain = arg[1], arg[2]
package.cpath = moduleDir .. "/?.so;" .. package.cpath

local xml = os.tmpname()
local f = assert(io.open(xml, "w"))
f:write([[<dds>
  <types>
    <struct name="Point">
      <member name="x" type="int32"/>
      <member name="y" type="int32"/>
    </struct>
    <struct name="Track">
      <member name="id" type="string" stringMaxLength="32" key="true"/>
      <member name="position" type="nonBasic" nonBasicTypeName="Point"/>
      <member name="speeds" type="int32" sequenceMaxLength="8"/>
      <member name="corners" type="int16" arrayDimensions="2,2"/>
    </struct>
  </types>
  <domain_library name="D">
    <domain name="D" domain_id="]] .. domain .. [[">
      <register_type name="Track" type_ref="Track"/>
      <topic name="Tracks" register_type_ref="Track"/>
    </domain>
  </domain_library>
  <domain_participant_library name="L">
    <domain_participant name="P" domain_ref="D::D">
      <publisher name="Pub"><data_writer name="W" topic_ref="Tracks"/></publisher>
      <subscriber name="Sub"><data_reader name="R" topic_ref="Tracks"/></subscriber>
    </domain_participant>
  </domain_participant_library>
</dds>
]])
f:close()

local connector = require("quelt_dds_connector"):new_connector("L::P", xml)
os.remove(xml)
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
