local w = CONTAINER.WRITER["Pub::W"]
w.instance.id = 3
w.instance["p.x"] = 4
w.instance["bseq[2]"] = 7
w:write()
local r = CONTAINER.READER[1]
r:take()
for i = 1, #r.samples do local s = r.samples[i]; local _ = s.id, s["bseq#"], r.infos[i].valid_data, s:toJson() end
