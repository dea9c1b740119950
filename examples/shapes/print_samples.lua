-- Prints every square received since the last run as one JSON line on standard output;
-- quelt-run runs it every period:
--   quelt-run --config examples/shapes/Shapes.xml --participant ShapesLib::ShapeSubscriber \
--             --script examples/shapes/print_samples.lua --period 50 --duration 10
local reader = CONTAINER.READER["Sub::SquareReader"]
local json = CONTAINER.CONTEXT.json

reader:take()
for i, sample in ipairs(reader.samples) do
  -- Dispose and unregister notices carry no data: only their key would be meaningful.
  if reader.infos[i].valid_data then
    print(json(sample))
  end
end
