local w = WRITER["Pub::W"]
w.instance.id = 9
w:dispose()
w:unregister()
w:clear_members()
READER["Sub::R"]:read()
return READER["Sub::R"].samples[1]
