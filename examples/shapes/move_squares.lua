-- Moves a red, a blue and a green square along circles; quelt-run runs it every period:
--   quelt-run --config examples/shapes/Shapes.xml --participant ShapesLib::ShapePublisher \
--             --script examples/shapes/move_squares.lua --period 50
-- Positions follow the clock, so they do not depend on the period. Edit a radius or a speed
-- while it runs: quelt-run picks the new version up within a second.
local writer = CONTAINER.WRITER["Pub::SquareWriter"]
local seconds = CONTAINER.CONTEXT.time_ms() / 1000

-- centre, radius (pixels of the usual 240 x 270 shapes canvas) and turns per second
local squares = {
  {color = "RED",   cx = 80,  cy = 90,  radius = 50, speed = 0.25},
  {color = "BLUE",  cx = 160, cy = 130, radius = 60, speed = -0.15},
  {color = "GREEN", cx = 120, cy = 190, radius = 40, speed = 0.4},
}

for _, square in ipairs(squares) do
  local angle = 2 * math.pi * square.speed * seconds
  writer.instance.color = square.color
  writer.instance.x = math.floor(square.cx + square.radius * math.cos(angle) + 0.5)
  writer.instance.y = math.floor(square.cy + square.radius * math.sin(angle) + 0.5)
  writer.instance.shapesize = 30
  writer:write()
end
