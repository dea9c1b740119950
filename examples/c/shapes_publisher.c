/* Creates a connector from the Shapes example configuration and deletes it again.
 *
 * Build against the installed library (it takes Lua from the program, so link Lua too):
 *   cc shapes_publisher.c -o shapes_publisher -lquelt_dds_connector -llua5.2
 * Run:
 *   ./shapes_publisher [xml-file [configuration-name]]
 * The defaults are examples/shapes/Shapes.xml and "ShapesLib::ShapePublisher".
 */
#include <stdio.h>

#include "quelt_dds_connector.h"

int main(int argc, char **argv)
{
    const char *configFile = argc > 1 ? argv[1] : "examples/shapes/Shapes.xml";
    const char *configName = argc > 2 ? argv[2] : "ShapesLib::ShapePublisher";

    QueltDDSConnectorOptions options = {1};
    QueltDDSConnector *connector = QueltDDSConnector_new(configName, configFile, &options);
    if (!connector) {
        fprintf(stderr, "could not create a connector for %s from %s\n", configName, configFile);
        return 1;
    }
    printf("connector for %s created\n", configName);
    QueltDDSConnector_delete(connector);
    printf("connector deleted\n");
    return 0;
}
