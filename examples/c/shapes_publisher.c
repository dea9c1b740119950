/* Publishes an orange square that moves along a diagonal: COUNT samples, one every 100 ms.
 *
 * Build against the installed library with pkg-config (it brings Lua as well, which the
 * library takes from the program):
 *   cc shapes_publisher.c -o shapes_publisher $(pkg-config --cflags --libs quelt-dds-connector)
 * Run:
 *   ./shapes_publisher [xml-file [configuration-name [count]]]
 * The defaults are examples/shapes/Shapes.xml, "ShapesLib::ShapePublisher" and 100.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "quelt_dds_connector.h"

int main(int argc, char **argv)
{
    const char *configFile = argc > 1 ? argv[1] : "examples/shapes/Shapes.xml";
    const char *configName = argc > 2 ? argv[2] : "ShapesLib::ShapePublisher";
    const int count = argc > 3 ? atoi(argv[3]) : 100;
    const char *writer = "Pub::SquareWriter";

    QueltDDSConnectorOptions options = {1};
    QueltDDSConnector *connector = QueltDDSConnector_new(configName, configFile, &options);
    if (!connector) {
        fprintf(stderr, "could not create a connector for %s from %s\n", configName, configFile);
        return 1;
    }
    const struct timespec period = {0, 100 * 1000 * 1000};
    for (int i = 0; i < count; ++i) {
        QueltDDSConnector_setStringIntoSamples(connector, writer, "color", "ORANGE");
        QueltDDSConnector_setNumberIntoSamples(connector, writer, "x", 20 + (i * 5) % 200);
        QueltDDSConnector_setNumberIntoSamples(connector, writer, "y", 20 + (i * 5) % 230);
        QueltDDSConnector_setNumberIntoSamples(connector, writer, "shapesize", 30);
        QueltDDSConnector_write(connector, writer, NULL); /* a failure is in the log */
        nanosleep(&period, NULL);
    }
    printf("%d squares written\n", count);
    QueltDDSConnector_delete(connector);
    return 0;
}
