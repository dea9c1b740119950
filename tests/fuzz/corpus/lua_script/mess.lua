CONTAINER.WRITER = nil
CONTAINER.READER[1].samples = 5
setmetatable(CONTAINER, nil)
CONTEXT.x = CONTAINER
rawset(CONTAINER.WRITER or {}, "Pub::W", 1)
